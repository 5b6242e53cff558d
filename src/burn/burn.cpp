#include "burn/burn.h"

#include <cstdio>
#include <cstring>

#include "appproto/appproto.h"
#include "burn/guards.h"
#include "loader/loader.h"

namespace quarn {

const char* const kBuiltInImageRefused =
    "The firmware image in this program does NOT match its signature: use the program as released";

namespace {

const char* const kImageMissing = "CANNOT load the firmware image";
const char* const kImageTooShort = "The file size is BELOW the MINIMUM size (4 * 1024)";
const char* const kTypeWrong = "PLC type is WRONG";
const char* const kReplug = "Please REPLUG the USB Cable, and then press OK to continue";
const char* const kPowerCycle = "Please POWER OFF=>ON the PLC, and then press OK to continue";
const char* const kNoRestart = "PLC DID NOT restart into its bootloader";

// One session's locals, shared by the probe loop and its two branches.
struct Session {
  SessionState& st;
  Link& hSerial;
  Operator& op;
  uint8_t isError = 1;
  Outcome out;
  bool concluded = false;

  // A session asked to stop ends without a message: what failed then is the
  // stop, not the PLC.
  bool stopped() const { return st.stopRequested; }
  // The session's one outcome, given to the operator as it is decided.
  void conclude(const char* caption, Icon icon, const char* text, bool success = false,
                bool timeStopsAfterMessage = false) {
    if (concluded) return;
    concluded = true;
    if (!stopped()) {
      out.caption = caption;
      out.icon = icon;
      const size_t n = strnlen(text, sizeof out.text - 1);  // a port name in it may be cut
      std::memcpy(out.text, text, n);
      out.text[n] = '\0';
      out.success = success;
      out.timeStopsAfterMessage = timeStopsAfterMessage;
    }
    op.outcome(out);
  }
  void error(const char* text) { conclude("ERROR", Icon::Error, text); }
  // A session that ends before the link was opened: only the image is given
  // back, and elapsedTime cleared.
  void refuseImage(const char* text) {
    error(text);
    st.elapsedTime = 0;
    CloseFile();
  }
  void CloseFile() {
    st.image = nullptr;
    st.imageSize = 0;
  }
  // The end-of-session reset, in its order, after the last message closed.
  // A session stopped before its outcome ends without a message.
  void endSession() {
    if (!concluded) {  // stopped before its outcome: no message
      concluded = true;
      op.outcome(out);
    }
    st.elapsedTime = 0;
    st.flashStatus = IDLE;
    st.progress = 0;
    st.errCounter = 0;
    st.totalErrCounter = 0;
    hSerial.close();
    CloseFile();
  }
};

// What a failed application-mode step says, by state (1: the mode probe,
// 2: the type check, 3: the enter-update request), for the codes that name
// no type refusal of that state.
struct StateTexts {
  const char *unknownCode, *noResponse, *other, *runMode;
};
constexpr StateTexts kStateTexts[] = {
    {"UNKNOWN ERROR CODE @ State 1", "NO RESPONSE @ State 1", "UNKNOWN MESSAGE", "PLC in RUN MODE"},
    {"UNKNOWN ERROR CODE @ State 2", "NO RESPONSE @ State 2", "UNKNOWN MESSAGE @ State 2", nullptr},
    {"UNKNOWN ERROR CODE @ State 3", "NO RESPONSE @ State 3", "UNKNOWN MESSAGE @ State 3", nullptr},
};

// State n refuses the PLC's type with its own flow error, the next state's
// and the unknown one.
const char* StateMessage(int state, uint8_t status) {
  const int code = status & 0x0F;
  const StateTexts& t = kStateTexts[state - 1];
  if (code == state || code == state + 1 || code == FLOWERROR_STATE_UNKNOWN) return kTypeWrong;
  if (code == RUNMODE && t.runMode) return t.runMode;
  if (code == UNKNOWN_ERROR_CODE) return t.unknownCode;
  if (code == NORESPONSE) return t.noResponse;
  return t.other;
}

// The type and version guards of the selected model. Returns false when the
// session has been ended here (an AIO loader too old); s.isError stays 1 when
// a type guard refused.
bool TypeAndVersionGuards(Session& s, bool& refused) {
  SessionState& st = s.st;
  if (isVersionedLoaderId(st.selectedPLCID)) {
    st.VN_fu_version = read_fu_version_A(st, s.hSerial);
    if (const char* refusal = LoaderVersionRefusal(st)) {
      st.report.refused = Refused::LoaderVersion;
      s.conclude("ERROR", Icon::Error, refusal, false, true);  // time stops after the message
      s.endSession();
      return false;
    }
    return true;
  }
  const auto read = [&](Register r) {
    switch (r) {
      case Register::D1386: return READ_D1386(st, s.hSerial);
      case Register::D1001: return READ_D1001(st, s.hSerial);
      case Register::D1148: return READ_D1148(st, s.hSerial);
    }
    return uint16_t{0};
  };
  if (const char* refusal = TypeGuardRefusal(st, read)) {
    st.report.refused = Refused::TypeGuard;
    s.error(refusal);
    refused = true;
  }
  return true;
}

// The reconnect the prompt asked for was not seen: the session ends at the
// end of this pass.
bool NotRestarted(Session& s) {
  s.isError = 1;
  s.error(kNoRestart);
  return true;
}

// The PLC runs its application: check it, send it to its bootloader and
// reconnect. Returns false when the session has been ended here.
bool ApplicationBranch(Session& s) {
  SessionState& st = s.st;
  uint8_t status = CheckID_A(st, s.hSerial);
  if (status != 0) {
    st.report.refused = Refused::Identity;
    s.error(StateMessage(2, status));
    return true;
  }
  bool refused = false;
  if (!TypeAndVersionGuards(s, refused)) return false;
  if (refused || s.stopped()) return true;

  st.stage = STAGE_ENTERING;
  status = SendErase_A(st, s.hSerial);
  if (status != 0) {
    st.report.refused = Refused::EnterUpdate;
    s.error(StateMessage(3, status));
    return true;
  }
  s.isError = 0;
  if (s.stopped()) return true;  // the next pass ends the session

  // Reconnect: the PLC restarts into its bootloader. The timer keeps running.
  const Profile& p = st.profile();
  switch (p.reconnect) {
    case Reconnect::Replug2s:
    case Reconnect::Replug5s:
      s.hSerial.close();
      if (!s.op.prompt(Prompt::Replug, "Information", kReplug)) return NotRestarted(s);
      s.op.sleepSeconds(p.reconnect == Reconnect::Replug2s ? 2 : 5);
      s.hSerial.open({Endpoint::Kind::UsbPlc, st.usbPlace});  // not tested: the next probe tells
      break;
    case Reconnect::PowerCycle2s:
      s.hSerial.close();
      if (!s.op.prompt(Prompt::PowerCycle, "Information", kPowerCycle)) return NotRestarted(s);
      s.op.sleepSeconds(2);
      s.hSerial.open({Endpoint::Kind::SerialPort, st.selectedComPort});
      break;
    case Reconnect::Wait1s: s.op.sleepSeconds(1); break;
  }
  return true;
}

// The PLC runs its bootloader: identity, loader version, erase, transfer.
// Always ends the session.
void BootloaderBranch(Session& s) {
  SessionState& st = s.st;
  Link& h = s.hSerial;
  if (CheckID_B(st, h) != 0) {
    st.report.refused = Refused::LoaderId;
    s.error(kTypeWrong);
  } else if (isVersionedLoaderId(st.selectedPLCID) && read_fu_version_B(st, h) != 0) {
    s.error("PLC DOES NOT respond to the version read");
  } else if (const char* refusal =
                 isVersionedLoaderId(st.selectedPLCID) ? LoaderVersionRefusal(st) : nullptr) {
    st.report.refused = Refused::LoaderVersion;
    s.conclude("ERROR", Icon::Error, refusal, false, true);  // time stops after the message
  } else if (SendErase_B(st, h) != 0) {
    s.error("PLC DOES NOT respond to the erasing signal");
  } else if (SendUpdate(st, h) != 0) {
    s.error("PLC DOES NOT respond to the update signal");
  } else {
    const uint8_t status = SendFW(st, h);
    if (status == OK) {
      if (st.profile().usb)
        s.conclude("Information", Icon::Information,
                   "Firmware update is SUCCESSFUL!, please REPLUG the USB cable", true);
      else
        s.conclude("INFORMATION", Icon::Information, "Firmware update is SUCCESSFUL", true);
    } else if (status == NOK) {
      s.error(
          "Flash write error, maybe due to flash write protection. RE-POWER PLC and update FW "
          "again");
    } else {
      s.error("Firmware update is FAILED");
    }
  }
  s.endSession();
}

}  // namespace

const char* ImageRefusal(uint32_t modelIdx, uint32_t L) {
  if (L == 0) return kImageMissing;
  if (L > kProfile[modelIdx].maxSize) return kProfile[modelIdx].sizeMessage;
  if (!imageFits(modelIdx, L)) return kImageTooShort;
  return nullptr;
}

Outcome StartBurn(SessionState& st, Link& hSerial, Operator& op, const uint8_t* image,
                  uint32_t imageSize) {
  Session s{st, hSerial, op, 1, {}, false};
  st.firstProbe = 0;
  st.stage = STAGE_CHECKING;
  st.pagesErased = 0;
  st.blocksSent = 0;
  st.resent = 0;
  st.modbusException = false;
  st.unansweredReads = 0;
  st.failReason = nullptr;
  st.report = {};

  // The image, from its first byte, whatever a chosen file set before.
  st.image = image;
  st.imageSize = image ? imageSize : 0;
  st.fin = st.image;
  st.fileLength = st.imageSize;

  const Profile& p = st.profile();
  if (const char* refusal = ImageRefusal(st.selectedPLCIdx, st.fileLength)) {
    s.refuseImage(refusal);
    return s.out;
  }

  if (!hSerial.open(st.endpoint())) {
    char tempStr[sizeof "CANNOT open " + sizeof st.selectedComPort + sizeof " Port!!!"];
    std::snprintf(tempStr, sizeof tempStr, "CANNOT open %s Port!!!",
                  p.usb ? "USB" : st.selectedComPort);
    s.error(tempStr);
    st.elapsedTime = 0;
    s.CloseFile();
    return s.out;
  }

  uint8_t checked_PLCID_0x67 = 0;
  uint32_t switches = 0;  // passes that ended in the reconnect step
  for (;;) {
    if (s.stopped()) break;
    s.isError = 1;
    DummyComm(st, hSerial);
    if (!checked_PLCID_0x67) {
      if (st.modelIs("KR3")) {
        const uint16_t PLCID_0x67 = read_0x67_PLCID(st, hSerial);
        const uint8_t PLCID_0x67_ERROR = PLCID_0x67 != 0 && PLCID_0x67 != 0x0020;
        if (PLCID_0x67_ERROR) {
          st.report.refused = Refused::Id67;
          s.error(kTypeWrong);
          break;
        }
      }
      checked_PLCID_0x67 = 1;
    }
    const uint8_t status = ConfirmComm(st, hSerial);
    // The mode found at the start; a probe cut short by a stop found none.
    if (st.firstProbe == 0 && (status == ENQ || status == ACK || !s.stopped()))
      st.firstProbe = status;
    if (status == ENQ) {
      // Still its application after the last switch: give up once the front
      // end's limit of switches is reached.
      if (st.bootSwitchLimit != 0 && switches >= st.bootSwitchLimit) {
        s.error(kNoRestart);
        break;
      }
      if (!ApplicationBranch(s)) return s.out;
      switches += s.isError == 0;
    } else if (status == ACK) {
      st.stage = STAGE_BOOTLOADER;
      BootloaderBranch(s);
      return s.out;
    } else {
      st.report.refused = Refused::Probe;
      s.error(StateMessage(1, status));
    }
    if (s.isError) break;
  }
  s.endSession();
  return s.out;
}

}  // namespace quarn
