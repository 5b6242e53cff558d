// quarn-burn's portable pieces: the command line, the model an image name
// fixes, and the progress line.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "burn/identify.h"
#include "catalogue/session.h"
#include "sign/signature.h"

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
  bool json = false;  // --list-ports, --list-models and --identify as JSON
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

// What a progress line shows of a session.
struct ProgressView {
  int32_t flashStatus = 0, stage = 0, progress = 0, elapsedTime = 0;
  int32_t errCounter = 0, totalErrCounter = 0;
  bool probed = false;          // the PLC answered the first mode probe
  bool restarting = false;      // the PLC was sent off to restart into its bootloader
  int32_t done = 0, total = 0;  // pages erased or blocks sent, of all there are
  uint32_t blockBytes = 0;      // image bytes a block carries (the transfer's rate)
  double stageSeconds = 0;      // since the erase or the transfer began
};

// The session's stage in a word: "Connecting", "Checking", "Switching",
// "Restarting", "Erasing" or "Programming".
const char* StageWord(const ProgressView& v);

// One progress line, never wider than width: stage word, bar, percentage,
// then, as room allows, pages or blocks done of all, time left, retries,
// rate and elapsed seconds. The bar and the percentage always show when
// width holds the word, 10 columns of bar and the percentage.
std::string ProgressLine(const ProgressView& v, size_t width);

// A log's line for a session off a terminal (a file, a pipe): the stamp
// (its time), the label (its port, in a batch), the stage word, a bar of 20
// columns, the percentage and every part that applies, never cut.
std::string LogLine(const ProgressView& v, const std::string& stamp, const std::string& label);

// What a log has shown of a session so far.
struct LogMark {
  std::string word;    // the stage word of its last line; "" before the first
  int32_t tenth = -1;  // the tenth of the erase or the transfer that line showed
};
// Whether v is due a line after those mark stands for: at each change of
// the stage word and at each tenth of the erase and of the transfer. Moves
// mark on when it is.
bool LogDue(const ProgressView& v, LogMark& mark);

// The plain line that says where a session asked to stop has stopped and
// what that means for the PLC; imageSize is the image the session was given.
std::string InterruptedLine(const SessionState& st, uint32_t imageSize);

// The lines --identify prints about the PLC found on port; imageRow: the
// model of the image named (its fit is said), -1 for none; signature: that
// image's (said too), null for none; refusal: why a burn would refuse that
// image (its size, its signature), null when it takes it.
std::string DescribeIdentity(const Identity& id, const std::string& port, int imageRow = -1,
                             const sign::Verdict* signature = nullptr,
                             const char* refusal = nullptr);
// The same as one JSON object.
std::string IdentityJson(const Identity& id, const std::string& port, int imageRow = -1,
                         const sign::Verdict* signature = nullptr, const char* refusal = nullptr);

// What a verdict says in a few words: "signed by KEYID", "not signed (no
// key is trusted)", "NOT signed (no manifest)", ...
std::string SignatureWords(const sign::Verdict& v);
// What the records and the JSON outputs say of a signature: its status, and
// the key ID's first 16 hex digits ("" when no key is known).
std::string SignatureStatus(const sign::Verdict& v);
std::string SignatureKeyId(const sign::Verdict& v);

// --list-models: a table, or a JSON array.
std::string ModelList(bool json);

// The guard reads marked in bits (GuardRead), by name: "D1001", "D1148",
// "D1386", "version".
std::vector<std::string> UnansweredReadNames(uint8_t bits);

// One "quarn-burn: warning: ..." line, newline included, for each guard read
// of the session that got no valid reply and was judged as 0; "" for none.
std::string UnansweredReadLines(const SessionState& st);

// A name from the command line or the system as it may be printed: control
// bytes become '?'.
std::string Printable(const std::string& name);

// One session of a batch, as its summary shows it; port: its label there.
struct SummaryRow {
  std::string port, model, outcome;
  double seconds = 0;
  int32_t retries = 0;
  bool passed = false;
};

// The summary of a batch: a header, one row per session, then
// "N passed, M failed"; no line wider than 80 columns (the outcome, last,
// is cut with "..." where it would pass them).
std::string SummaryTable(const std::vector<SummaryRow>& rows);

}  // namespace quarn::cli
