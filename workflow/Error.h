#pragma once
// A failure that reaches the user: the window's error box shows its message.
#include <exception>
#include <string>

namespace kestrova::workflow {

class Error : public std::exception {
 public:
  explicit Error(std::u16string message) : message_(std::move(message)) {}
  const std::u16string& message() const noexcept { return message_; }
  const char* what() const noexcept override { return "kestrova::workflow::Error"; }

 private:
  std::u16string message_;
};

}  // namespace kestrova::workflow
