#include "ui/cli/record.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "burn/guards.h"
#include "burn/identify.h"
#include "loader/loader.h"
#include "ui/cli/cli.h"
#include "ui/cli/report.h"

namespace quarn::cli {

namespace {

// The stage a failed session ended in, and what the PLC holds then.
void FailedAt(const SessionState& st, Record& rec) {
  static const char* const kStages[] = {"checking", "entering the bootloader", "bootloader",
                                        "erasing", "programming"};
  static const char* const kHolds[] = {
      "its firmware as it was",
      "its firmware as it was, or its bootloader once it has restarted into it",
      "its bootloader, the flash not yet erased",
      "its bootloader, the flash partly erased: run quarn-burn again",
      "its bootloader, part of the image written: run quarn-burn again"};
  const int32_t stage = std::clamp<int32_t>(st.stage, STAGE_CHECKING, STAGE_PROGRAMMING);
  rec.failedStage = kStages[stage];
  rec.plcHolds = kHolds[stage];
}

// The PLC as the session's replies said it.
void ReportedPlc(const SessionState& st, Record& rec) {
  const Identity id = ReportedIdentity(st);
  rec.plcMode = id.mode == Identity::BOOTLOADER    ? "bootloader"
                : id.mode == Identity::APPLICATION ? "application"
                                                   : "";
  rec.plcType = id.haveId ? id.id : -1;
  for (int i = 0; i < id.fitCount; ++i) rec.plcModels.push_back(plcList[id.fits[i]]);
  if (st.report.reads & GUARD_D1001) rec.plcGeneration = IsV4(id.D1001) ? "V4" : "V2/V3";
  rec.plcLoaderVersion = id.haveLoaderVersion ? id.loaderVersion : -1;
}

}  // namespace

void RecordSession(const SessionState& st, uint32_t imageSize, int status, Record& rec) {
  ReportedPlc(st, rec);
  const uint32_t row = st.selectedPLCIdx;
  const uint64_t carried = uint64_t{static_cast<uint32_t>(std::max<int32_t>(st.blocksSent, 0))} *
                           kProfile[row].blockData;
  rec.bytesSent = status == 0 ? bytesSent(row, imageSize)
                              : std::min<uint64_t>(carried, bytesSent(row, imageSize));
  if (status != 0) FailedAt(st, rec);
}

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
      {"schema", kRecordSchema},
      {"start", UtcTime(r.start)},
      {"end", UtcTime(r.end)},
      {"tool", r.tool},
      {"station", text(r.station)},
      {"operator", text(r.operatorName)},
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
      {"plc",
       {{"mode", text(r.plcMode)},
        {"type", r.plcType < 0 ? json(nullptr) : json(r.plcType)},
        {"models", r.plcModels},
        {"generation", text(r.plcGeneration)},
        {"loader_version", r.plcLoaderVersion < 0 ? json(nullptr) : json(r.plcLoaderVersion)}}},
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
      {"bytes_sent", r.bytesSent},
      {"failed_stage", text(r.failedStage)},
      {"plc_holds", text(r.plcHolds)},
      {"open_failure", text(r.openFailure)},
      {"unanswered_reads", UnansweredReadNames(r.unansweredReads)},
      {"reason", text(r.reason)},
  };
  return j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace quarn::cli
