// The operator seam: how the burn worker reaches the person at the machine.
// The worker says what happens in the session's own terms (a prompt of a
// named kind, the outcome); the front end decides how to show it.
#pragma once

namespace quarn {

enum class Icon { Error, Information };

// What a prompt asks the person to do before the session goes on.
enum class Prompt {
  Replug,      // replug the USB cable: the PLC restarts into its bootloader
  PowerCycle,  // switch the PLC off and on again
};

// How a session ended. A session that was asked to stop ends without a
// message (caption null, text empty).
struct Outcome {
  const char* caption = nullptr;
  Icon icon = Icon::Error;
  char text[192] = {};  // the message as shown (a port name in it is cut to fit)
  bool success = false;
  // The session's time stops as the outcome is decided, before its message
  // shows; for a loader version refusal only once the message has closed.
  bool timeStopsAfterMessage = false;
};

class Operator {
 public:
  virtual ~Operator() = default;
  // Asks the person to do `kind` (caption and text say it as the system
  // words it) and returns once they have answered: true, or false when the
  // front end saw that it was not done in time (a station that watches for
  // the replug itself); the session then ends as for a PLC that did not
  // restart into its bootloader.
  virtual bool prompt(Prompt kind, const char* caption, const char* text) = 0;
  // The session's outcome, given once, at its end, before the session's
  // state is reset; returns once it has been seen (its message closed).
  virtual void outcome(const Outcome& o) = 0;
  virtual void sleepSeconds(unsigned seconds) = 0;
};

}  // namespace quarn
