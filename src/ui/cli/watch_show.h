// How the station shows itself, and quarn-burn --watch itself.
#pragma once
#include <chrono>
#include <cstddef>
#include <string>

#include "ui/cli/cli.h"
#include "ui/cli/image.h"
#include "ui/cli/watch.h"

namespace quarn::cli {

// An event as one plain line ("[usb:1-2] reconnect seen").
std::string EventLine(const StationEvent& e);
// An event as one JSON line: schema, event, port, time, and what it carries.
std::string EventJson(const StationEvent& e, std::chrono::system_clock::time_point at);
// The board's header: passed, failed, PLCs per hour since the start.
std::string BoardHeader(int passed, int failed, double seconds, size_t ports);
// Port i's row of the board, within width.
std::string BoardRow(const Station& s, size_t i, size_t width);

// quarn-burn --watch: the station until Ctrl-C or --count sessions have
// ended. Exit status: 0 when every session passed, 1 when one failed (or
// a record could not be written), 130 after Ctrl-C, 2 for a usage error.
int RunWatch(const Options& o, const Image& image);

}  // namespace quarn::cli
