#pragma once
// Runs `undo` when the scope is left by an exception, so a failed command does not leave
// the hourglass or the progress window behind.
#include <exception>

namespace velkorn::isp {

template <class F>
class OnUnwind {
 public:
  explicit OnUnwind(F undo) : undo_(undo), exceptions_(std::uncaught_exceptions()) {}
  ~OnUnwind() {
    if (std::uncaught_exceptions() > exceptions_) undo_();
  }
  OnUnwind(const OnUnwind&) = delete;
  OnUnwind& operator=(const OnUnwind&) = delete;

 private:
  F undo_;
  int exceptions_;
};

}  // namespace velkorn::isp
