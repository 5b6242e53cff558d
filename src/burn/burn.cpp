#include "burn/burn.h"

#include <cstdio>

#include "appproto/appproto.h"
#include "loader/loader.h"

namespace quarn {
namespace {

const char* const kImageMissing = "CANNOT load the firmware image";
const char* const kImageTooShort = "The file size is BELOW the MINIMUM size (4 * 1024)";
const char* const kTypeWrong = "PLC type is WRONG";
const char* const kReplug = "Please REPLUG the USB Cable, and then press OK to continue";
const char* const kPowerCycle = "Please POWER OFF=>ON the PLC, and then press OK to continue";

// One session's locals, shared by the probe loop and its two branches.
struct Session {
  SessionState& st;
  Link& hSerial;
  Operator& op;
  uint8_t isError = 1;
  uint8_t KR2_MV2_KR2C_ERROR = 0, RTF_KR2_ERROR = 0, QN2_ERROR = 0, GH_ERROR = 0, TJ_ERROR = 0;

  void error(const char* text) { op.message("ERROR", Icon::Error, text); }
  void stopThenError(const char* text) {
    op.stopTimer();
    error(text);
  }
  // A session that ends before the link was opened: only the image is given
  // back, and elapsedTime cleared.
  void refuseImage(const char* text) {
    op.stopTimer();
    error(text);
    op.enableStart(true);
    st.elapsedTime = 0;
    CloseFile();
  }
  void CloseFile() {
    st.image = nullptr;
    st.imageSize = 0;
  }
  // The end-of-session reset, in its order, after the last message closed.
  void endSession() {
    st.elapsedTime = 0;
    st.flashStatus = IDLE;
    st.progress = 0;
    st.errCounter = 0;
    st.totalErrCounter = 0;
    op.enableStart(true);
    hSerial.close();
    CloseFile();
  }
};

const char* State1Message(uint8_t status) {
  switch (status & 0x0F) {
    case FLOWERROR_STATE1: case FLOWERROR_STATE2: case FLOWERROR_STATE_UNKNOWN: return kTypeWrong;
    case RUNMODE: return "PLC in RUN MODE";
    case UNKNOWN_ERROR_CODE: return "UNKNOWN ERROR CODE @ State 1";
    case NORESPONSE: return "NO RESPONSE @ State 1";
    default: return "UNKNOWN MESSAGE";
  }
}

const char* State2Message(uint8_t status) {
  switch (status & 0x0F) {
    case FLOWERROR_STATE2: case FLOWERROR_STATE3: case FLOWERROR_STATE_UNKNOWN: return kTypeWrong;
    case UNKNOWN_ERROR_CODE: return "UNKNOWN ERROR CODE @ State 2";
    case NORESPONSE: return "NO RESPONSE @ State 2";
    default: return "UNKNOWN MESSAGE @ State 2";
  }
}

const char* State3Message(uint8_t status) {
  switch (status & 0x0F) {
    case FLOWERROR_STATE3: case FLOWERROR_STATE4: case FLOWERROR_STATE_UNKNOWN: return kTypeWrong;
    case UNKNOWN_ERROR_CODE: return "UNKNOWN ERROR CODE @ State 3";
    case NORESPONSE: return "NO RESPONSE @ State 3";
    default: return "UNKNOWN MESSAGE @ State 3";
  }
}

// The AIO bootloaders that cannot take an update: the refusal text, or null.
const char* LoaderVersionRefusal(const SessionState& st) {
  const uint8_t v = st.VN_fu_version;
  if (st.modelIs("VN200-AIO") || st.modelIs("TJ3-AIO")) {
    if (v <= 0x0F)
      return v == 0x09 ? "The bootloader version is V0.9, do not support AIO FW update"
                       : "The bootloader version is unknown, do not support AIO FW update";
  } else if (st.modelIs("MV3-AIO")) {
    if (v <= 0x11)
      return v == 0x10 ? "The bootloader version is V1.0, do not support AIO FW update"
                       : "The bootloader version is unknown, do not support AIO FW update";
  }
  return nullptr;
}

// The firmware generation in D1001: bits 4 to 7 above 0x3F is V4.xx.
bool IsV4(uint16_t D1001) { return (D1001 & 0x00F0) > 0x3F; }

// A guard that refuses stops the timer, shows its text and raises its flag.
void Refuse(Session& s, uint8_t& flag, const char* text) {
  s.stopThenError(text);
  flag = 1;
}

// The firmware generation in D1001 picks the model: v4Model for V4.xx,
// v2Model for V2.xx / V3.xx; the other one is refused.
void GenerationGuard(Session& s, uint8_t& flag, const char* v4Model, const char* downgrade,
                     const char* v2Model, const char* upgrade) {
  if (IsV4(READ_D1001(s.st, s.hSerial))) {
    if (!s.st.modelIs(v4Model)) Refuse(s, flag, downgrade);
  } else if (!s.st.modelIs(v2Model)) {
    Refuse(s, flag, upgrade);
  }
}

// D1148 not 0 marks the 28/26 variant, 0 the 12 variant.
void VariantGuard(Session& s, uint8_t& flag, const char* bigModel, const char* notBig,
                  const char* smallModel, const char* notSmall) {
  if (READ_D1148(s.st, s.hSerial) != 0) {
    if (!s.st.modelIs(bigModel)) Refuse(s, flag, notBig);
  } else if (!s.st.modelIs(smallModel)) {
    Refuse(s, flag, notSmall);
  }
}

// Tells apart the variants that share one type identifier. Returns false
// when the session has been ended here (an AIO loader too old).
bool TypeAndVersionGuards(Session& s) {
  SessionState& st = s.st;
  switch (st.selectedPLCID) {
    case 0x000C: {
      const uint16_t D1386 = READ_D1386(st, s.hSerial);
      const bool plcIsKr2C = D1386 == 0x4137 || D1386 == 0x4138;
      if (plcIsKr2C && !st.modelIs("KR2-C-V2") && !st.modelIs("KR2-C-V4"))
        Refuse(s, s.KR2_MV2_KR2C_ERROR, "Check PLC, KR2-MV2 is different than KR2-C");
      else if (plcIsKr2C)
        GenerationGuard(s, s.KR2_MV2_KR2C_ERROR,
                        "KR2-C-V4", "KR2-C V4.xx CAN NOT downgrade to V2.xx / V3.xx ",
                        "KR2-C-V2", "KR2-C V2.xx / V3.xx CAN NOT upgrade to V4.xx ");
      else
        GenerationGuard(s, s.KR2_MV2_KR2C_ERROR,
                        "KR2-MV2-V4", "KR2-MV2 V4.xx CAN NOT downgrade to V2.xx / V3.xx ",
                        "KR2-MV2-V2", "KR2-MV2 V2.xx / V3.xx CAN NOT upgrade to V4.xx ");
      break;
    }
    case 0x0013:
      VariantGuard(s, s.QN2_ERROR, "QN28", "Check PLC, 12QN2 is different than 28QN2",
                   "QN2", "Check PLC, 28QN2 is different than 12QN2");
      break;
    case 0x0015:
      VariantGuard(s, s.GH_ERROR, "GH26", "Check PLC, 12GH is different than 26GH",
                   "GH", "Check PLC, 26GH is different than 12GH");
      break;
    case 0x3000: case 0x3010: case 0x0020: case 0xA00B: case 0x3020: case 0x0022: case 0xA010:
      st.VN_fu_version = read_fu_version_A(st, s.hSerial);
      if (const char* refusal = LoaderVersionRefusal(st)) {
        s.error(refusal);  // the timer stops only after this message
        s.op.stopTimer();
        s.endSession();
        return false;
      }
      break;
    case 0x0008:
      GenerationGuard(s, s.TJ_ERROR, "TJ-V4", "TJ V4.xx CAN NOT downgrade to V3.xx ",
                      "TJ-V3", "TJ V3.xx CAN NOT upgrade to V4.xx ");
      break;
    case 0xA001:
      GenerationGuard(s, s.RTF_KR2_ERROR,
                      "RTF-KR2-V4", "RTF-KR2 V4.xx CAN NOT downgrade to V2.xx / V3.xx ",
                      "RTF-KR2-V2", "RTF-KR2 V2.xx / V3.xx CAN NOT upgrade to V4.xx ");
      break;
    default:
      break;  // no guard for this type
  }
  return true;
}

// The PLC runs its application: check it, send it to its bootloader and
// reconnect. Returns false when the session has been ended here.
bool ApplicationBranch(Session& s) {
  SessionState& st = s.st;
  uint8_t status = CheckID_A(st, s.hSerial);
  if (status != 0) {
    s.stopThenError(State2Message(status));
    return true;
  }
  if (!TypeAndVersionGuards(s)) return false;
  if (s.KR2_MV2_KR2C_ERROR || s.QN2_ERROR || s.GH_ERROR || s.TJ_ERROR || s.RTF_KR2_ERROR)
    return true;

  status = SendErase_A(st, s.hSerial);
  if (status != 0) {
    s.stopThenError(State3Message(status));
    return true;
  }
  s.isError = 0;

  // Reconnect: the PLC restarts into its bootloader. The timer keeps running.
  const Profile& p = st.profile();
  switch (p.reconnect) {
    case Reconnect::Replug2s:
    case Reconnect::Replug5s:
      s.hSerial.close();
      s.op.message("Information", Icon::Information, kReplug);
      s.op.sleepSeconds(p.reconnect == Reconnect::Replug2s ? 2 : 5);
      s.hSerial.open(true, st.selectedComPort);  // not tested: the next probe tells
      break;
    case Reconnect::PowerCycle2s:
      s.hSerial.close();
      s.op.message("Information", Icon::Information, kPowerCycle);
      s.op.sleepSeconds(2);
      s.hSerial.open(false, st.selectedComPort);
      break;
    case Reconnect::Wait1s:
      s.op.sleepSeconds(1);
      break;
  }
  return true;
}

// The PLC runs its bootloader: identity, loader version, erase, transfer.
// Always ends the session.
void BootloaderBranch(Session& s) {
  SessionState& st = s.st;
  Link& h = s.hSerial;
  if (CheckID_B(st, h) != 0) {
    s.stopThenError(kTypeWrong);
  } else if (isVersionedLoaderId(st.selectedPLCID) && read_fu_version_B(st, h) != 0) {
    s.stopThenError("PLC DOES NOT respond to the version read");
  } else if (const char* refusal =
                 isVersionedLoaderId(st.selectedPLCID) ? LoaderVersionRefusal(st) : nullptr) {
    s.error(refusal);  // the timer stops only after this message
    s.op.stopTimer();
  } else if (SendErase_B(st, h) != 0) {
    s.stopThenError("PLC DOES NOT respond to the erasing signal");
  } else if (SendUpdate(st, h) != 0) {
    s.stopThenError("PLC DOES NOT respond to the update signal");
  } else {
    const uint8_t status = SendFW(st, h);
    s.op.stopTimer();
    if (status == OK) {
      if (st.profile().usb)
        s.op.message("Information", Icon::Information,
                     "Firmware update is SUCCESSFUL!, please REPLUG the USB cable");
      else
        s.op.message("INFORMATION", Icon::Information, "Firmware update is SUCCESSFUL");
    } else if (status == NOK) {
      s.error("Flash write error, maybe due to flash write protection. RE-POWER PLC and update FW again");
    } else {
      s.error("Firmware update is FAILED");
    }
  }
  s.endSession();
}

}  // namespace

void StartBurn(SessionState& st, Link& hSerial, Operator& op, const uint8_t* image,
               uint32_t imageSize) {
  Session s{st, hSerial, op};

  // The image, from its first byte, whatever a chosen file set before.
  st.image = image;
  st.imageSize = image ? imageSize : 0;
  st.fin = st.image;
  st.fileLength = st.imageSize;
  op.enableStart(false);

  const Profile& p = st.profile();
  if (st.fileLength == 0) return s.refuseImage(kImageMissing);
  if (st.fileLength > p.maxSize) return s.refuseImage(p.sizeMessage);
  if (!imageFits(st.selectedPLCIdx, st.fileLength)) return s.refuseImage(kImageTooShort);

  if (!hSerial.open(p.usb, st.selectedComPort)) {
    op.stopTimer();
    char tempStr[sizeof "CANNOT open " + sizeof st.selectedComPort + sizeof " Port!!!"];
    std::snprintf(tempStr, sizeof tempStr, "CANNOT open %s Port!!!", p.usb ? "USB" : st.selectedComPort);
    s.error(tempStr);
    st.elapsedTime = 0;
    op.enableStart(true);
    s.CloseFile();
    return;
  }

  uint8_t checked_PLCID_0x67 = 0;
  for (;;) {
    s.isError = 1;
    s.KR2_MV2_KR2C_ERROR = s.RTF_KR2_ERROR = s.QN2_ERROR = s.GH_ERROR = s.TJ_ERROR = 0;
    DummyComm(st, hSerial);
    if (!checked_PLCID_0x67) {
      if (st.modelIs("KR3")) {
        const uint16_t PLCID_0x67 = read_0x67_PLCID(st, hSerial);
        const uint8_t PLCID_0x67_ERROR = PLCID_0x67 != 0 && PLCID_0x67 != 0x0020;
        if (PLCID_0x67_ERROR) {
          s.stopThenError(kTypeWrong);
          return s.endSession();
        }
      }
      checked_PLCID_0x67 = 1;
    }
    const uint8_t status = ConfirmComm(st, hSerial);
    if (status == ENQ) {
      if (!ApplicationBranch(s)) return;
    } else if (status == ACK) {
      return BootloaderBranch(s);
    } else {
      s.stopThenError(State1Message(status));
    }
    if (s.isError) return s.endSession();
  }
}

}  // namespace quarn
