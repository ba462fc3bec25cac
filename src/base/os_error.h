// The one place where an operating-system error number becomes text.
#ifndef ORVEL_BASE_OS_ERROR_H_
#define ORVEL_BASE_OS_ERROR_H_

#include <string>

namespace orvel {

// The C library's description of `error_number`, then " (os error N)":
// "Permission denied (os error 13)".
std::string os_error_text(int error_number);

}  // namespace orvel

#endif  // ORVEL_BASE_OS_ERROR_H_
