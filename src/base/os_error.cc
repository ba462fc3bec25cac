// Operating-system errors as the text users see in the report and on standard error.
#include "base/os_error.h"

#include <string.h>

namespace orvel {

std::string os_error_text(int error_number) {
  // g++ defines _GNU_SOURCE, so this is the GNU strerror_r: it returns the text, which may or
  // may not be the buffer we pass. 256 bytes hold every message glibc has; a longer one is cut
  // by the library, never overrun.
  char buffer[256];
  const char* text = strerror_r(error_number, buffer, sizeof buffer);
  std::string out(text);
  out += " (os error ";
  out += std::to_string(error_number);
  out += ')';
  return out;
}

}  // namespace orvel
