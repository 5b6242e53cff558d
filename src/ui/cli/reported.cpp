// What the PLC said of itself, put beside the system's own message: the
// messages stay as they are, and this line names the values they hide.
#include "ui/cli/reported.h"

#include <cstdio>

#include "burn/burn.h"
#include "burn/guards.h"
#include "burn/identify.h"
#include "ui/cli/cli.h"
#include "ui/cli/ports.h"

namespace quarn::cli {

std::string Grouped(uint64_t n) {
  const std::string digits = std::to_string(n);
  std::string s;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) s.push_back(',');
    s.push_back(digits[i]);
  }
  return s;
}

namespace {

std::string Hex(unsigned v, int digits) {
  char buf[12];
  std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
  return buf;
}

std::string Version(uint8_t v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "V%u.%u", unsigned{v} >> 4, v & 0x0Fu);
  return buf;
}

// "a QN2 or a QN28", or "no model quarn-burn knows".
std::string Models(const Identity& id) {
  if (id.fitCount == 0) return "no model quarn-burn knows";
  std::string s;
  for (int i = 0; i < id.fitCount; ++i) {
    if (i > 0) s += i + 1 == id.fitCount ? " or " : ", ";
    s += std::string("a ") + plcList[id.fits[i]];
  }
  return s;
}

// The identifier and the registers read, and the models they make.
std::string TypeLine(const SessionState& st) {
  const PlcReport& r = st.report;
  const Identity id = ReportedIdentity(st);
  std::string what = Hex(r.id, 4);
  if (r.reads & GUARD_D1386) what += ", D1386 " + Hex(r.D1386, 4);
  if (r.reads & GUARD_D1001)
    what += ", D1001 " + Hex(r.D1001, 4) + (IsV4(r.D1001) ? " (V4.xx)" : " (V2.xx / V3.xx)");
  if (r.reads & GUARD_D1148) what += ", D1148 " + Hex(r.D1148, 4);
  const std::string tail = ": " + Models(id) + "; the image is for " + st.model() + "\n";
  if (r.idFromLoader) return "quarn-burn: the PLC's bootloader reports type " + what + tail;
  return "quarn-burn: the PLC reports type " + what + tail;
}

std::string RefusalLine(const SessionState& st, const char* request) {
  const PlcReport& r = st.report;
  return std::string("quarn-burn: the PLC refused the ") + request + " (reason " +
         Hex(r.reason, 2) + ", flow state " + Hex(r.flowState, 2) + "); the image is for " +
         st.model() + "\n";
}

std::string SilentLine(const SessionState& st) {
  const std::string port = Printable(st.selectedComPort);
  const Profile& p = st.profile();
  const std::string how = p.usb ? std::string("the USB pipe of a ") + st.model()
                                : std::string("the serial port of a ") + st.model() +
                                      " (9600 7E1, command header " +
                                      (p.aio ? "0x01 0x5B)" : "0x01 0x59)");
  return "quarn-burn: no reply to the mode probe on " + Printable(PortLabel(st)) + ", opened as " +
         how + ", the image's model; quarn-burn --identify --port " + port +
         " looks at what is there\n";
}

}  // namespace

std::string ReportedLine(const SessionState& st, uint64_t fileSize) {
  const Profile& p = st.profile();
  const uint32_t size = fileSize > p.maxSize ? p.maxSize + 1 : static_cast<uint32_t>(fileSize);
  const char* sized = ImageRefusal(st.selectedPLCIdx, size);
  if (sized != nullptr && size > p.maxSize)
    return "quarn-burn: the image has " + Grouped(fileSize) + " bytes; a " + st.model() +
           " takes at most " + Grouped(p.maxSize) + " bytes\n";
  if (sized != nullptr && size > 0)
    return "quarn-burn: the image has " + Grouped(fileSize) + " bytes; a " + st.model() +
           " takes at least 4,096 bytes\n";

  const PlcReport& r = st.report;
  switch (r.refused) {
    case Refused::Probe:
      if (r.refusal && r.reason == 0x01)
        return "quarn-burn: the PLC reports it is in RUN mode; the image can be written only to "
               "a PLC in STOP mode\n";
      if (r.refusal) return RefusalLine(st, "mode probe");
      return r.probeAnswered ? "" : SilentLine(st);
    case Refused::Identity:
      if (r.refusal) return RefusalLine(st, "identity request");
      return r.haveId ? TypeLine(st) : "";
    case Refused::TypeGuard: return TypeLine(st);
    case Refused::LoaderId: return r.haveId ? TypeLine(st) : "";
    case Refused::EnterUpdate: return r.refusal ? RefusalLine(st, "enter-update request") : "";
    case Refused::Id67:
      return "quarn-burn: the PLC reports type " + Hex(r.id67, 4) +
             " to function 0x67; the image is for " + st.model() + ", which reports 0x0020\n";
    case Refused::LoaderVersion:
      if ((r.reads & GUARD_VERSION) == 0) return "";
      return "quarn-burn: the PLC's bootloader is " + Version(r.loaderVersion) + " (" +
             Hex(r.loaderVersion, 2) + "); the image is for " + st.model() + ", which needs " +
             Version(OldestLoaderTaken(st)) + " or later\n";
    case Refused::None: break;
  }
  return "";
}

}  // namespace quarn::cli
