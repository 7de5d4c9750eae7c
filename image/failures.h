#pragma once
// Failures that end the running command with their text in an error box, after which the
// window goes on. The texts are kept word for word: operators know them from these boxes.
#include <stdexcept>
#include <string>

#include "base/failure_texts.h"

namespace velkorn {

class UnhandledFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class InvalidInteger : public UnhandledFailure {
 public:
  explicit InvalidInteger(const std::string& text) : UnhandledFailure(invalidIntegerText(text)) {}
};

}  // namespace velkorn
