// quarn-burn's portable pieces: the command line, the model an image name
// fixes, and the progress line.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "burn/identify.h"
#include "catalogue/session.h"

namespace quarn::cli {

// The text of --help.
extern const char* const kUsage;

// Says what is wrong with the command line, on stderr; returns 2.
int Usage(const std::string& why);

struct Options {
  std::string image;  // --image FILE; empty: the embedded image
  std::string port;   // the first --port PORT
  bool havePort = false;
  std::vector<std::string> ports;  // every --port, in order ("all": every port that fits)
  std::string record;  // --record FILE; empty: none
  bool yes = false;
  bool identify = false;
  bool listPorts = false;
  bool listModels = false;
  bool version = false;
  bool help = false;
};

// Fills o from the arguments; returns what is wrong with them, or "" when
// they are sound.
std::string ParseOptions(int argc, const char* const* argv, Options& o);

// The catalogue row an image's file name fixes: the part of the base name
// before its first '_' must be a catalogue name, exactly. -1 otherwise.
int ModelFromImageName(const std::string& path);
// The file name without its directories.
std::string BaseName(const std::string& path);
// That part of the base name (the whole base name when it has no '_').
std::string ImageModelPart(const std::string& path);

// "Idle", "Erasing", "Programming", or "" for any other status.
const char* PhaseWord(int32_t flashStatus);

// One progress line: phase word, bar, percentage, elapsed seconds and the
// counters errCounter/totalErrCounter. Always NUL-terminated within size.
void FormatProgress(char* buf, size_t size, int32_t flashStatus, int32_t progress,
                    int32_t elapsedTime, int32_t errCounter, int32_t totalErrCounter);

// The plain line that says where a session asked to stop has stopped and
// what that means for the PLC; imageSize is the image the session was given.
std::string InterruptedLine(const SessionState& st, uint32_t imageSize);

// The lines --identify prints about the PLC found on port.
std::string DescribeIdentity(const Identity& id, const std::string& port);

// A name from the command line or the system as it may be printed: control
// bytes become '?'.
std::string Printable(const std::string& name);

// One session of a batch, as its summary shows it.
struct SummaryRow {
  std::string port, model, outcome;
  double seconds = 0;
  int32_t retries = 0;
  bool passed = false;
};

// The summary of a batch: a header, one row per session, then
// "N passed, M failed".
std::string SummaryTable(const std::vector<SummaryRow>& rows);

}  // namespace quarn::cli
