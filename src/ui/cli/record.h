// The session record: one JSON object per session, on one line.
#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "catalogue/session.h"

namespace quarn::cli {

// The version of the record's layout, written as its "schema" field; it
// goes up when a field changes meaning or goes away.
constexpr int kRecordSchema = 1;

struct Record {
  std::chrono::system_clock::time_point start, end;
  std::string tool;     // "quarn-burn 1.0.0"
  std::string port;     // as the session opened it ("USB": the PLC's own USB device)
  std::string usbPath;  // the USB device's path (usb:BUS-PORTS); "" where none is known
  std::string model;
  std::string imageName;
  uint64_t imageSize = 0;
  std::string imageSha256;     // "" when it could not be computed
  std::string imageSignature;  // "signed", "unchecked" (no key trusted); "" unknown
  std::string imageKeyId;      // the signing key's ID, its first 16 hex digits; "" none
  std::string modeAtStart;    // "application", "bootloader", "no answer", "refused"; "" none probed
  std::string caption, text;  // the session's last message; "" when none was shown
  int exitStatus = 0;
  std::string interrupted;  // where an interrupt stopped the session; "" when none did
  double elapsedSeconds = 0;
  int32_t retries = 0, pagesErased = 0, blocksSent = 0;
  uint8_t unansweredReads = 0;  // guard reads judged as 0 for want of a reply (GuardRead bits)
  std::string reason;           // why the session failed where its message does not say ("" none)
  std::string station;          // the machine's name ("" unknown)
  std::string operatorName;     // --operator ("" none)
  // The PLC as its replies said it: mode ("application", "bootloader", ""
  // none), type (-1 none), the models that fit, generation ("" unread),
  // loader version (-1 unread).
  std::string plcMode, plcGeneration;
  int32_t plcType = -1, plcLoaderVersion = -1;
  std::vector<std::string> plcModels;
  uint64_t bytesSent = 0;
  std::string failedStage;  // the stage a failed session ended in ("" none)
  std::string plcHolds;     // what the PLC holds now, for a failed session ("" none)
  std::string openFailure;  // why the port did not open ("" it did, or no reason given)
};

// Fills in what the session state says of a session that ended with exit
// status `status`: the PLC as its replies said it, the bytes the
// acknowledged blocks carried, and for a failure its stage and what the PLC
// holds now. imageSize: the image the session was given.
void RecordSession(const SessionState& st, uint32_t imageSize, int status, Record& rec);

// "2024-01-03T12:34:56.789Z"
std::string UtcTime(std::chrono::system_clock::time_point t);

// The record as one line of JSON, ended by a newline. Text that is not valid
// UTF-8 (a file or port name) is carried with U+FFFD in place of the bad bytes.
std::string RecordLine(const Record& r);

}  // namespace quarn::cli
