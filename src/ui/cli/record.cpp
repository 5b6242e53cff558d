#include "ui/cli/record.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "ui/cli/cli.h"
#include "ui/cli/report.h"

namespace quarn::cli {

std::string UtcTime(std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  const auto ms = floor<milliseconds>(t);
  const auto day = floor<days>(ms);
  const year_month_day ymd{day};
  const hh_mm_ss<milliseconds> hms{ms - day};
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                static_cast<unsigned>(ymd.day()), static_cast<int>(hms.hours().count()),
                static_cast<int>(hms.minutes().count()), static_cast<int>(hms.seconds().count()),
                static_cast<int>(hms.subseconds().count()));
  return buf;
}

std::string RecordLine(const Record& r) {
  using json = nlohmann::ordered_json;
  const auto text = [](const std::string& s) { return s.empty() ? json(nullptr) : json(s); };
  json j = {
      {"start", UtcTime(r.start)},
      {"end", UtcTime(r.end)},
      {"tool", r.tool},
      {"port", text(r.port)},
      {"usb_path", text(r.usbPath)},
      {"model", r.model},
      {"image",
       {{"name", r.imageName},
        {"size", r.imageSize},
        {"sha256", text(r.imageSha256)},
        {"signature", text(r.imageSignature)},
        {"key_id", text(r.imageKeyId)}}},
      {"mode_at_start", text(r.modeAtStart)},
      {"outcome",
       {{"caption", text(r.caption)},
        {"text", text(r.text)},
        {"exit_status", r.exitStatus},
        {"interrupted", text(r.interrupted)}}},
      {"elapsed_seconds",
       static_cast<double>(static_cast<int64_t>(r.elapsedSeconds * 1000)) / 1000},
      {"retries", r.retries},
      {"pages_erased", r.pagesErased},
      {"blocks_sent", r.blocksSent},
      {"unanswered_reads", UnansweredReadNames(r.unansweredReads)},
      {"reason", text(r.reason)},
  };
  return j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace quarn::cli
