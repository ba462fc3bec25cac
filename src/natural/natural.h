// The natural order of object keys: digit runs compare by value, other bytes as unsigned.
#ifndef ORVEL_NATURAL_NATURAL_H_
#define ORVEL_NATURAL_NATURAL_H_

#include <string_view>

namespace orvel {

// Three-way order of two keys: digit runs by numeric value (a run sorts before any non-digit
// byte; leading zeros never break a tie), other bytes as unsigned. <0, 0, >0 like memcmp.
int natural_compare(std::string_view a, std::string_view b);

}  // namespace orvel

#endif  // ORVEL_NATURAL_NATURAL_H_
