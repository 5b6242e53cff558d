// What quarn-burn shows of a session and a PLC: the progress line, the
// line that says where a stop left the PLC, what --identify found, the
// model list, the warnings about guessed reads and the summary of a batch.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "burn/identify.h"
#include "catalogue/session.h"
#include "sign/signature.h"

namespace quarn::cli {

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
