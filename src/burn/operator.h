// The operator seam: how the burn worker reaches the person at the machine.
#pragma once

namespace quarn {

enum class Icon { Error, Information };

class Operator {
 public:
  virtual ~Operator() = default;
  // Shows a message with one OK button and returns once it is closed.
  virtual void message(const char* caption, Icon icon, const char* text) = 0;
  virtual void enableStart(bool enabled) = 0;
  // Stops the one-second timer that counts elapsedTime.
  virtual void stopTimer() = 0;
  virtual void sleepSeconds(unsigned seconds) = 0;
};

}  // namespace quarn
