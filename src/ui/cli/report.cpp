// What quarn-burn shows of a session: the progress line, the line that says
// where a stop left the PLC, the model list, the warnings about guessed
// reads and the summary of a batch (what --identify found: report_identity.cpp).
#include "ui/cli/report.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "burn/guards.h"
#include "catalogue/catalogue.h"
#include "loader/loader.h"
#include "ui/cli/cli.h"

namespace quarn::cli {

const char* StageWord(const ProgressView& v) {
  if (v.flashStatus == ERASE) return "Erasing";
  if (v.flashStatus == PROGRAM) return "Programming";
  switch (v.stage) {
    case STAGE_CHECKING: return v.probed ? "Checking" : "Connecting";
    case STAGE_ENTERING: return v.restarting ? "Restarting" : "Switching";
    case STAGE_BOOTLOADER: return "Checking";
    case STAGE_ERASING: return "Erasing";
    default: return "Programming";
  }
}

namespace {

// A progress line's optional parts: count, time left, retries, rate,
// elapsed seconds; each leads with its two blanks ("" where none applies).
std::vector<std::string> Parts(const ProgressView& v) {
  char buf[64];
  std::vector<std::string> parts(5);
  const bool counting = (v.flashStatus == ERASE || v.flashStatus == PROGRAM) && v.total > 0;
  if (counting) {
    std::snprintf(buf, sizeof buf, "  %d/%d %s", static_cast<int>(v.done),
                  static_cast<int>(v.total), v.flashStatus == ERASE ? "pages" : "blocks");
    parts[0] = buf;
  }
  const double perSecond = v.stageSeconds > 0.5 ? v.done / v.stageSeconds : 0;
  if (counting && perSecond > 0 && v.done < v.total) {
    const int left = static_cast<int>(std::min((v.total - v.done) / perSecond + 0.5, 359999.0));
    std::snprintf(buf, sizeof buf, "  %d:%02d left", left / 60, left % 60);
    parts[1] = buf;
  }
  std::snprintf(buf, sizeof buf, "  retries %d (in all %d)", static_cast<int>(v.errCounter),
                static_cast<int>(v.totalErrCounter));
  parts[2] = buf;
  if (counting && perSecond > 0 && v.flashStatus == PROGRAM && v.blockBytes > 0) {
    std::snprintf(buf, sizeof buf, "  %.1f kB/s", perSecond * v.blockBytes / 1000);
    parts[3] = buf;
  }
  std::snprintf(buf, sizeof buf, "  %d s", static_cast<int>(v.elapsedTime));
  parts[4] = buf;
  return parts;
}

// The stage word, padded, the bar of `bar` columns and the percentage.
std::string WordAndBar(const ProgressView& v, size_t bar) {
  char buf[64];
  const int32_t percent = std::clamp<int32_t>(v.progress, 0, 100);
  std::snprintf(buf, sizeof buf, "%-11s [", StageWord(v));
  const size_t filled = static_cast<size_t>(percent) * bar / 100;
  std::string s = buf + std::string(filled, '#') + std::string(bar - filled, '.');
  std::snprintf(buf, sizeof buf, "] %3d%%", static_cast<int>(percent));
  return s + buf;
}

constexpr size_t kReadingOrder[] = {0, 3, 1, 4, 2};  // count, rate, time left, elapsed, retries

}  // namespace

std::string ProgressLine(const ProgressView& v, size_t width) {
  const std::vector<std::string> parts = Parts(v);
  // The bar takes 10 to 30 columns; the parts that fit beside it stay.
  constexpr size_t kMinBar = 10, kMaxBar = 30;
  size_t used = WordAndBar(v, kMinBar).size();
  std::vector<bool> keep(parts.size(), false);
  // Retries come before the rate and the time once there are any.
  const std::vector<size_t> wanted = v.totalErrCounter > 0 ? std::vector<size_t>{0, 1, 2, 3, 4}
                                                           : std::vector<size_t>{0, 1, 3, 4, 2};
  for (size_t i : wanted) {
    if (parts[i].empty() || used + parts[i].size() > width) continue;
    keep[i] = true;
    used += parts[i].size();
  }
  const size_t bar = used > width ? kMinBar : std::min(kMaxBar, kMinBar + (width - used));
  std::string line = WordAndBar(v, bar);
  for (size_t i : kReadingOrder)
    if (keep[i]) line += parts[i];
  return line.substr(0, width);
}

std::string LogLine(const ProgressView& v, const std::string& stamp, const std::string& label) {
  const std::vector<std::string> parts = Parts(v);
  std::string line = stamp + " " + label + WordAndBar(v, 20);
  for (size_t i : kReadingOrder) line += parts[i];
  return line;
}

bool LogDue(const ProgressView& v, LogMark& mark) {
  const std::string word = StageWord(v);
  const bool counting = v.flashStatus == ERASE || v.flashStatus == PROGRAM;
  const int32_t tenth = counting ? std::clamp<int32_t>(v.progress, 0, 100) / 10 : 0;
  if (word == mark.word && tenth == mark.tenth) return false;
  mark.word = word;
  mark.tenth = tenth;
  return true;
}

std::string InterruptedLine(const SessionState& st, uint32_t imageSize) {
  const char* const again = "run quarn-burn again to finish the update";
  const std::string inBootloader = std::string("the PLC stays in its bootloader: ") + again;
  char where[96];
  switch (st.stage) {
    case STAGE_ENTERING:
      return std::string(
                 "interrupted after the PLC was asked to leave its application for its "
                 "bootloader; ") +
             again;
    case STAGE_BOOTLOADER: return "interrupted while checking the bootloader; " + inBootloader;
    case STAGE_ERASING: {
      const int32_t pages = totalPages(st.selectedPLCIdx, imageSize), done = st.pagesErased;
      if (done >= pages)
        std::snprintf(where, sizeof where, "after erasing the flash (%d pages)",
                      static_cast<int>(pages));
      else
        std::snprintf(where, sizeof where, "while erasing page %d of %d",
                      static_cast<int>(done + 1), static_cast<int>(pages));
      return std::string("interrupted ") + where + "; " + inBootloader;
    }
    case STAGE_PROGRAMMING: {
      const int32_t blocks = totalPacket(st.selectedPLCIdx, imageSize), done = st.blocksSent;
      if (done >= blocks)
        std::snprintf(where, sizeof where, "after programming block %d of %d",
                      static_cast<int>(blocks), static_cast<int>(blocks));
      else
        std::snprintf(where, sizeof where, "while programming block %d of %d",
                      static_cast<int>(done + 1), static_cast<int>(blocks));
      return std::string("interrupted ") + where + "; " + inBootloader;
    }
    default: return "interrupted before the update began; nothing on the PLC was changed";
  }
}

std::string SignatureWords(const sign::Verdict& v) {
  const std::string key = sign::ShortId(v.keyId);
  switch (v.status) {
    case sign::Status::Signed: return "signed by " + key;
    case sign::Status::Unchecked: return "not signed (no key is trusted)";
    case sign::Status::Unsigned: return "NOT signed (no manifest)";
    case sign::Status::Invalid: return "manifest damaged (" + v.detail + ")";
    case sign::Status::UnknownKey: return "signed by " + key + ", which is NOT trusted";
    case sign::Status::BadSignature: return "signature does NOT verify (key " + key + ")";
    case sign::Status::Mismatch:
      return "signed by " + key + " for ANOTHER image (its " + v.field + ")";
  }
  return "";
}

std::string SignatureStatus(const sign::Verdict& v) { return sign::StatusName(v.status); }
std::string SignatureKeyId(const sign::Verdict& v) { return sign::ShortId(v.keyId); }

namespace {

// What the PLC needs to restart into its bootloader, as the model table says it.
const char* ReconnectWords(Reconnect r) {
  switch (r) {
    case Reconnect::Wait1s: return "none, 1 s pause";
    case Reconnect::PowerCycle2s: return "power cycle, then 2 s";
    case Reconnect::Replug2s: return "replug, then 2 s";
    case Reconnect::Replug5s: return "replug, then 5 s";
  }
  return "";
}

}  // namespace

std::string ModelList(bool json) {
  // By name, as the model table of the guide lists them.
  std::vector<int> rows;
  for (int i = 0; i < kModelCount; ++i) rows.push_back(i);
  std::sort(rows.begin(), rows.end(),
            [](int a, int b) { return std::strcmp(plcList[a], plcList[b]) < 0; });
  if (json) {
    nlohmann::ordered_json j = nlohmann::ordered_json::array();
    for (int i : rows)
      j.push_back({{"model", plcList[i]},
                   {"link", kProfile[i].usb ? "USB" : "serial"},
                   {"max_bytes", kProfile[i].maxSize},
                   {"block_bytes", kProfile[i].blockData},
                   {"reconnect", ReconnectWords(kProfile[i].reconnect)}});
    return j.dump(2) + "\n";
  }
  char line[128];
  std::snprintf(line, sizeof line, "%-15s %-6s %10s %6s  %s\n", "MODEL", "LINK", "MAX BYTES",
                "BLOCK", "RECONNECT");
  std::string s = line;
  for (int i : rows) {
    const Profile& p = kProfile[i];
    std::snprintf(line, sizeof line, "%-15.14s %-6s %10u %6u  %s\n", plcList[i],
                  p.usb ? "USB" : "serial", static_cast<unsigned>(p.maxSize),
                  static_cast<unsigned>(p.blockData), ReconnectWords(p.reconnect));
    s += line;
  }
  return s;
}

std::vector<std::string> UnansweredReadNames(uint8_t bits) {
  static const struct {
    GuardRead bit;
    const char* name;
  } kReads[] = {{GUARD_D1001, "D1001"},
                {GUARD_D1148, "D1148"},
                {GUARD_D1386, "D1386"},
                {GUARD_VERSION, "version"}};
  std::vector<std::string> names;
  for (const auto& r : kReads)
    if (bits & r.bit) names.push_back(r.name);
  return names;
}

std::string UnansweredReadLines(const SessionState& st) {
  std::string lines;
  for (const std::string& name : UnansweredReadNames(st.unansweredReads))
    lines += "quarn-burn: warning: the PLC gave no valid reply to the " + name +
             " read; the checks took it as 0\n";
  return lines;
}

std::string SummaryTable(const std::vector<SummaryRow>& rows) {
  size_t portW = 4, modelW = 5;
  for (const SummaryRow& r : rows) {
    portW = std::max(portW, r.port.size());
    modelW = std::max(modelW, r.model.size());
  }
  constexpr size_t kWidth = 80;
  const auto row = [&](const std::string& port, const std::string& model,
                       const std::string& seconds, const std::string& retries,
                       const std::string& outcome) {
    char tail[40];
    std::snprintf(tail, sizeof tail, "  %8s  %7s  ", seconds.c_str(), retries.c_str());
    std::string s = port + std::string(portW - port.size() + 2, ' ') + model +
                    std::string(modelW - model.size(), ' ') + tail;
    if (s.size() + outcome.size() <= kWidth) return s + outcome + "\n";
    if (s.size() + 3 >= kWidth) return s.substr(0, kWidth) + "\n";
    return s + outcome.substr(0, kWidth - 3 - s.size()) + "...\n";
  };
  std::string s = row("PORT", "MODEL", "SECONDS", "RETRIES", "OUTCOME");
  int passed = 0;
  for (const SummaryRow& r : rows) {
    char seconds[24];
    std::snprintf(seconds, sizeof seconds, "%.1f", r.seconds);
    s += row(Printable(r.port), r.model, seconds, std::to_string(r.retries), Printable(r.outcome));
    passed += r.passed;
  }
  return s + std::to_string(passed) + " passed, " + std::to_string(rows.size() - passed) +
         " failed\n";
}

}  // namespace quarn::cli
