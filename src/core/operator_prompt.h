// Message boxes shown to the operator. The windows, the headless runner and
// the tests each answer them their own way.
#pragma once

#include <string>

namespace k730 {

enum class MessageIcon { None, Information, Exclamation, Error, Question };
enum class MessageButtons { Ok, OkCancel, YesNo };
enum class MessageAnswer { Ok, Cancel, Yes, No };

class OperatorPrompt {
 public:
  virtual ~OperatorPrompt() = default;
  // Safe from any thread. A box with only an OK button need not wait for the
  // operator; one that asks a question returns the operator's answer.
  virtual MessageAnswer ShowMessage(const std::string& text, MessageIcon icon,
                                    MessageButtons buttons) = 0;
};

}  // namespace k730
