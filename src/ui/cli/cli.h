// quarn-burn's command line, the model an image name fixes, and names as
// they may be printed.
#pragma once
#include <string>
#include <vector>

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
  std::string record;              // --record FILE; empty: none
  std::string trace;               // --trace FILE ("-": stderr); empty: none
  std::string checkImage;          // --check-image FILE; empty: none
  std::string operatorName;        // --operator NAME, for the record; empty: none
  std::vector<std::string> trust;  // every --trust KEY.pem, in order
  bool yes = false;
  bool identify = false;
  bool listPorts = false;
  bool listModels = false;
  bool version = false;
  bool help = false;
  bool json = false;   // --list-ports, --list-models, --identify and --watch as JSON
  bool watch = false;  // --watch: a station that updates every PLC plugged in
  std::string count;   // --count N: with --watch, end after N sessions; empty: none
};

// Fills o from the arguments; returns what is wrong with them, or "" when
// they are sound. Refused: an option given twice where one is meant, an
// action (--list-ports, --list-models, --version, --help, --check-image)
// with any other option (--check-image takes --trust), an image whose name
// does not end in .bin.
std::string ParseOptions(int argc, const char* const* argv, Options& o);

// The catalogue row an image's file name fixes: the part of the base name
// before its first '_' must be a catalogue name, exactly. -1 otherwise.
int ModelFromImageName(const std::string& path);
// The usage error for an image name that names no model.
std::string UnknownModel(const std::string& path);
// The file name without its directories.
std::string BaseName(const std::string& path);
// That part of the base name (the whole base name when it has no '_').
std::string ImageModelPart(const std::string& path);

// A name from the command line or the system as it may be printed: control
// bytes become '?'.
std::string Printable(const std::string& name);

}  // namespace quarn::cli
