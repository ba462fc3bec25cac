// A value or the error that stands in its place: failures are values, never exceptions, save
// one. Exhausted memory is std::bad_alloc in base, json and rules, as it is in the standard
// library, from wherever memory is taken; io reports it as IoErrorKind::OutOfMemory like any
// other failure of a file; and main catches it once, around a file's whole processing, where it
// becomes that file's "IOError: out of memory". Outside a file's processing it ends the run.
#ifndef ORVEL_BASE_RESULT_H_
#define ORVEL_BASE_RESULT_H_

#include <utility>
#include <variant>

namespace orvel {

// Tags the error alternative, so that a Result whose value and error have the same type still works.
template <class E>
struct Err {
  // Spelled out so that Err(e) works under compilers without parenthesised aggregate
  // initialisation (clang before 16, which builds the fuzz targets).
  explicit Err(E e) : error(std::move(e)) {}
  E error;
};
template <class E>
Err(E) -> Err<E>;

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  template <class F>
  Result(Err<F> err) : v_(std::in_place_index<1>, std::move(err.error)) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  E& error() & { return std::get<1>(v_); }
  const E& error() const& { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, E> v_;
};

}  // namespace orvel

#endif  // ORVEL_BASE_RESULT_H_
