// Cuts one fuzz input into several byte strings without reserving any byte as a separator.
#ifndef ORVEL_FUZZ_FUZZ_SPLIT_H_
#define ORVEL_FUZZ_FUZZ_SPLIT_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace orvel::fuzz {

// The first N-1 bytes give the lengths of the first N-1 parts (each taken modulo what is left
// plus one, so every byte value yields a valid cut); the last part is everything that remains.
// Every byte value stays possible inside every part.
template <std::size_t N>
std::array<std::string_view, N> split_input(const std::uint8_t* data, std::size_t size) {
  std::array<std::string_view, N> parts{};
  std::size_t header = size < N - 1 ? size : N - 1;
  std::string_view rest(reinterpret_cast<const char*>(data) + header, size - header);
  for (std::size_t i = 0; i + 1 < N; ++i) {
    std::size_t want = i < header ? data[i] : 0;
    std::size_t take = want % (rest.size() + 1);
    parts[i] = rest.substr(0, take);
    rest.remove_prefix(take);
  }
  parts[N - 1] = rest;
  return parts;
}

// Ends the process in a way every fuzzing engine and the replay runner report as a crash.
inline void require(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace orvel::fuzz

#endif  // ORVEL_FUZZ_FUZZ_SPLIT_H_
