// The session state the window and the burn worker share, and the byte
// values both PLC protocols use.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstring>

#include "catalogue/catalogue.h"
#include "link/link.h"

namespace quarn {

// Protocol control bytes and result codes.
constexpr uint8_t OK = 0x00, ERR = 0x10;
constexpr uint8_t STX = 0x02, EOT = 0x04, ENQ = 0x05, ACK = 0x06, NAK = 0x15, NOK = 0x16,
                  SUB = 0x1A;

// Flow error codes, ORed into ERR by the application-mode operations.
constexpr uint8_t FLOWERROR_STATE1 = 1, FLOWERROR_STATE2 = 2, FLOWERROR_STATE3 = 3,
                  FLOWERROR_STATE4 = 4, FLOWERROR_STATE_UNKNOWN = 5, RUNMODE = 6,
                  UNKNOWN_ERROR_CODE = 7, NORESPONSE = 8;

enum Status : int32_t { IDLE = 0, ERASE = 1, PROGRAM = 2 };

// The reads a type or version guard judges, as bits of unansweredReads.
enum GuardRead : uint8_t {
  GUARD_D1001 = 1,
  GUARD_D1148 = 2,
  GUARD_D1386 = 4,
  GUARD_VERSION = 8,  // the loader version asked through the application
};

// How far a session has gone with the PLC.
enum Stage : int32_t {
  STAGE_CHECKING = 0,     // nothing sent that changes the PLC
  STAGE_ENTERING = 1,     // the enter-update request is going out
  STAGE_BOOTLOADER = 2,   // the bootloader has answered the mode probe
  STAGE_ERASING = 3,      // the flash erase has begun
  STAGE_PROGRAMMING = 4,  // the transfer has begun
};

// The check of the PLC's answers that ended a session, if one did.
enum class Refused : uint8_t {
  None,
  Probe,          // the mode probe (run mode, a flow error, no answer)
  Identity,       // the application's identity request
  Id67,           // KR3's identifier by function 0x67
  TypeGuard,      // the registers that tell variants and generations apart
  LoaderVersion,  // an AIO bootloader too old
  EnterUpdate,    // the enter-update request
  LoaderId,       // the bootloader's "ID"
};

// What the PLC said of itself in a session, as its replies carried it:
// nothing is asked for it. Written by the protocol operations, read by a
// front end once the session has ended.
struct PlcReport {
  uint8_t mode = 0;            // ENQ (application) or ACK (bootloader) as a probe found it; 0 none
  bool probeAnswered = false;  // a mode probe got a well-formed reply, a refusal's too
  bool refusal = false;        // a reply refused a request (NAK): its reason and flow state
  uint8_t reason = 0, flowState = 0;
  bool haveId = false;  // an identity reply came, accepted or not
  bool idFromLoader = false;
  uint16_t id = 0;
  uint8_t reads = 0;  // GuardRead bits of the reads that got a valid reply
  uint16_t D1386 = 0, D1001 = 0, D1148 = 0;
  uint8_t loaderVersion = 0;  // with GUARD_VERSION in reads
  bool haveId67 = false;
  uint16_t id67 = 0;
  Refused refused = Refused::None;
};

// A number another thread reads while this one writes it: every access is one
// whole relaxed load or store.
template <class T>
class Shared {
 public:
  Shared(T v = T{}) : v_(v) {}
  Shared& operator=(T v) {
    v_.store(v, std::memory_order_relaxed);
    return *this;
  }
  operator T() const { return v_.load(std::memory_order_relaxed); }
  void add(T d) { v_.store(v_.load(std::memory_order_relaxed) + d, std::memory_order_relaxed); }

 private:
  std::atomic<T> v_;
};

struct SessionState {
  // Operator's choices (written by the window).
  // "COM3" or "USB" in the window; a device path such as /dev/ttyUSB0 on Linux.
  char selectedComPort[128] = {};
  // Where a USB-attached model's PLC is, as Endpoint::name of a USB PLC
  // takes it ("": found by its ids, as the window always finds it).
  char usbPlace[128] = {};
  char selectedPLC[kModelNameSize] = {};
  uint32_t selectedPLCIdx = 0;
  uint16_t selectedPLCID = 0;
  int32_t ComSelidx = 0;
  int32_t totalComPort = 0;
  int32_t isFileChosed = 0;
  char szFile[260] = {};
  // How many times a PLC may be switched to its bootloader, reconnected and
  // found running its application again before the session gives up on it
  // (0: no limit, as in the window, whose operator sees every prompt).
  uint32_t bootSwitchLimit = 0;

  // Image (written by the worker). `fin` moves forward inside
  // [image, image + imageSize) and never past its end.
  const uint8_t* image = nullptr;
  uint32_t imageSize = 0;
  const uint8_t* fin = nullptr;
  uint32_t fileLength = 0;

  // Progress of the session (written by the worker, painted by the window).
  Shared<int32_t> flashStatus{IDLE};
  Shared<int32_t> progress{0};
  Shared<int32_t> errCounter{0};
  Shared<int32_t> totalErrCounter{0};
  Shared<int32_t> elapsedTime{0};
  uint8_t VN_fu_version = 0;

  // Set by a front end that wants the session to stop: the protocol loops
  // send nothing more once they see it, and the worker ends the session
  // without a message. The window never sets it.
  std::atomic<bool> stopRequested{false};

  // What a record of the session reports. Set by the worker and the
  // bootloader protocol where it happens; cleared when a session starts and
  // kept through the end-of-session reset.
  Shared<uint8_t> firstProbe{0};  // the first mode probe's result (0: none ran)
  Shared<int32_t> stage{STAGE_CHECKING};
  Shared<int32_t> pagesErased{0};  // "ERASE" pages acknowledged
  Shared<int32_t> blocksSent{0};   // firmware blocks acknowledged
  // Requests sent again after a failed write or read of theirs, by the
  // exchanges whose failures count: what a record calls the retries.
  Shared<int32_t> resent{0};
  // A reply came back as a Modbus exception (function code with bit 7 set):
  // a Modbus device answers, but not as a Quarn PLC.
  std::atomic<bool> modbusException{false};
  // Guard reads that got no valid reply and were judged as 0 (GuardRead bits).
  uint8_t unansweredReads = 0;
  // Why the session failed where its message does not say it (a fixed
  // text, such as "replies out of step"); nullptr when there is nothing to add.
  std::atomic<const char*> failReason{nullptr};
  // What the PLC reported; cleared when a session starts.
  PlcReport report;

  const char* model() const { return plcList[selectedPLCIdx]; }
  const Profile& profile() const { return kProfile[selectedPLCIdx]; }
  bool modelIs(const char* name) const { return std::strcmp(model(), name) == 0; }
  // What the session opens: the USB PLC of a USB-attached model, else the
  // serial port chosen.
  Endpoint endpoint() const {
    return profile().usb ? Endpoint{Endpoint::Kind::UsbPlc, usbPlace}
                         : Endpoint{Endpoint::Kind::SerialPort, selectedComPort};
  }

  // Selects catalogue row idx (bounded): name, index and identifier together.
  void selectModel(uint32_t idx) {
    if (idx >= kModelCount) return;
    selectedPLCIdx = idx;
    selectedPLCID = plcID[idx];
    std::memcpy(selectedPLC, plcList[idx], kModelNameSize);
  }

  // Copies a port name, refusing one that does not fit (keeps the old one).
  bool setComPort(const char* name) { return Copy(selectedComPort, name); }
  bool setUsbPlace(const char* name) { return Copy(usbPlace, name); }

 private:
  template <size_t N>
  static bool Copy(char (&to)[N], const char* name) {
    size_t n = std::strlen(name);
    if (n >= N) return false;
    std::memcpy(to, name, n + 1);
    return true;
  }
};

}  // namespace quarn
