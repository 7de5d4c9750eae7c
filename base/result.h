#pragma once
// The one way a call at the edge of the link layer or the platform library fails: it returns
// a value or an error {code, message}. The code says what kind of failure it was, for a
// caller that acts on it (a port in use is not a port that does not exist); the message is
// the text a person reads (the system's own words where the system gave them).
#include <cassert>
#include <string>
#include <utility>
#include <variant>

namespace velkorn {

enum class ErrorCode {
  Failed,        // the call failed for a reason the code below does not single out
  NotFound,      // no such port, file or host
  Busy,          // held by another program or lock
  Denied,        // the system refused access
  TimedOut,      // nothing came, or nothing could be sent, in time
  Closed,        // nothing is open, or the other end hung up
  Unsupported,   // this link or system cannot do that (a rate on a raw TCP link, modem lines
                 // on a pseudo-terminal)
  Invalid,       // the request itself was malformed (an address, a rate, a name)
  // The atomic write's cases its callers answer differently (the command line's refusals,
  // the settings' two boxes):
  Exists,        // the name is taken, and the write was not to replace it
  NotRegular,    // a folder, a link or a device has the name, and stays as it is
  NotWritten,    // the text did not all reach the disk (a full disk): what was there stands
};

struct Error {
  ErrorCode code = ErrorCode::Failed;
  std::string message;
};

inline Error makeError(ErrorCode code, std::string message) { return Error{code, std::move(message)}; }

// A value or an Error; never both, never neither.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit on purpose
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  const T& value() const& { assert(ok()); return std::get<0>(state_); }
  T& value() & { assert(ok()); return std::get<0>(state_); }
  T&& value() && { assert(ok()); return std::get<0>(std::move(state_)); }
  const T& operator*() const& { return value(); }
  T& operator*() & { return value(); }
  const T* operator->() const { return &value(); }
  T* operator->() { return &value(); }
  T valueOr(T fallback) const { return ok() ? value() : std::move(fallback); }

  const Error& error() const { assert(!ok()); return std::get<1>(state_); }
  ErrorCode code() const { return error().code; }
  const std::string& message() const { return error().message; }

 private:
  std::variant<T, Error> state_;
};

// Done, or an Error.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)), failed_(true) {}  // NOLINT: implicit on purpose

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const Error& error() const { assert(failed_); return error_; }
  ErrorCode code() const { return error().code; }
  const std::string& message() const { return error().message; }

 private:
  Error error_;
  bool failed_ = false;
};

using Status = Result<void>;

}  // namespace velkorn
