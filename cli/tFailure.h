// How zembril-dump and zembril-sync carry a failure of their own, from
// where it is found to where it is reported: in the words the user reads.
// Where they call the core, the core's status word is what comes back; it
// is put into words only where a program reports it.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace nDRAVI100 {

// What failed and why, as one message without the program's name and
// without a newline: "PATH: No such file or directory", "line 3 does not
// fit".
class tFailure {
 public:
  explicit tFailure(std::string message) : text(std::move(message)) {}

  // The system's words for the errno `error` ("Permission denied").
  [[nodiscard]] static tFailure ofErrno(int error);

  // The same failure, with `prefix` (where it happened: "PATH: ") before it.
  [[nodiscard]] tFailure after(const std::string& prefix) const { return tFailure(prefix + text); }

  [[nodiscard]] const std::string& message() const { return text; }

 private:
  std::string text;
};

// What an operation that can fail gives back: its value, or the failure
// that kept it from one. tResult<> is for an operation that gives nothing
// else back; a default-made one has succeeded.
template <typename T = std::monostate>
class [[nodiscard]] tResult {
 public:
  tResult() = default;
  // A value or a failure is returned as it is.
  tResult(T value) : held(std::in_place_index<0>, std::move(value)) {}
  tResult(tFailure failure) : held(std::in_place_index<1>, std::move(failure)) {}

  // True when the operation succeeded.
  [[nodiscard]] explicit operator bool() const { return held.index() == 0; }

  // The value; only when the operation succeeded.
  [[nodiscard]] T& operator*() { return std::get<0>(held); }
  [[nodiscard]] const T& operator*() const { return std::get<0>(held); }
  [[nodiscard]] T* operator->() { return &std::get<0>(held); }
  [[nodiscard]] const T* operator->() const { return &std::get<0>(held); }

  // The failure; only when the operation failed.
  [[nodiscard]] const tFailure& failure() const { return std::get<1>(held); }

 private:
  std::variant<T, tFailure> held;
};

}  // namespace nDRAVI100
