// Running sessions: a burn on one port or on many at once, and identify.
#pragma once
#include <string>
#include <vector>

#include "sign/signature.h"
#include "ui/cli/cli.h"
#include "ui/cli/image.h"

namespace quarn::cli {

// One burn of image on each of ports (null: the one port the options name,
// or the default one), all at once. One port prints as quarn-burn always
// has; several print every line after their port, a block of live lines on
// a terminal and a summary at the end. Exit status: 0 when every session
// succeeded, 130 after an interrupt, 1 otherwise (2 for a usage error found
// before any port was opened).
int RunBurns(const Options& o, const Image& image, const std::vector<std::string>* ports);

// What the PLC on the port says about itself, changing nothing. image: the
// one named with --image (its model's link opens the port; its fit, size and
// signature are judged as a burn judges them), null for none: then the
// port's name decides the link ("USB" and usb:... the pipe, any other a
// serial port). Exit status: 0 when a PLC answered, 130 after an interrupt,
// 1 otherwise.
int RunIdentify(const Options& o, const Image* image);

}  // namespace quarn::cli
