// Result<T>: the value of an operation that can fail, or the one message text
// that says why it failed. The core reports every failure this way; only the
// Python binding turns a message into an exception.
#ifndef OSSEL_RESULT_H_
#define OSSEL_RESULT_H_

#include <string>
#include <utility>
#include <variant>

namespace ossel {

struct Error {
  std::string message;
  bool operator==(const Error&) const = default;
};

template <class T>
class Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const Error& error() const { return std::get<1>(state_); }
  const std::string& message() const { return error().message; }

 private:
  std::variant<T, Error> state_;
};

}  // namespace ossel

#endif  // OSSEL_RESULT_H_
