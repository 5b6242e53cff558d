// quarn-burn's portable pieces: the command line, the model an image name
// fixes, and the progress line.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace quarn::cli {

struct Options {
  std::string image;  // --image FILE; empty: the embedded image
  std::string port;   // --port PORT
  bool havePort = false;
  bool yes = false;
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
// That part of the base name (the whole base name when it has no '_').
std::string ImageModelPart(const std::string& path);

// "Idle", "Erasing", "Programming", or "" for any other status.
const char* PhaseWord(int32_t flashStatus);

// One progress line: phase word, bar, percentage, elapsed seconds and the
// counters errCounter/totalErrCounter. Always NUL-terminated within size.
void FormatProgress(char* buf, size_t size, int32_t flashStatus, int32_t progress,
                    int32_t elapsedTime, int32_t errCounter, int32_t totalErrCounter);

}  // namespace quarn::cli
