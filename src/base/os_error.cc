// Operating-system errors as the text users see in the report and on standard error.
#include "base/os_error.h"

#include "base/platform.h"

namespace orvel {

std::string os_error_text(int error_number) {
  std::string out = error_description(error_number);
  out += " (os error ";
  out += std::to_string(error_number);
  out += ')';
  return out;
}

}  // namespace orvel
