// The model catalogue: the 33 PLC models the updater knows, their type
// identifiers, the named model groups and the per-model profile that every
// model-dependent decision reads.
#pragma once
#include <cstdint>

namespace quarn {

constexpr int kModelCount = 33;
constexpr int kModelNameSize = 15;  // 14 characters and the terminator

extern const char plcList[kModelCount][kModelNameSize];
extern const uint16_t plcID[kModelCount];

// What follows a successful enter-update request.
enum class Reconnect : uint8_t {
  Wait1s,        // serial port stays open, 1 s pause
  PowerCycle2s,  // close, "POWER OFF=>ON" prompt, 2 s, reopen the port
  Replug2s,      // close, "REPLUG" prompt, 2 s, reopen the USB pipe
  Replug5s,      // close, "REPLUG" prompt, 5 s, reopen the USB pipe
};

// How the bootloader's erase page count follows from the image length L.
enum class EraseRule : uint8_t {
  Div2K,    // L / 2048 + 1
  Div16K,   // L / 16384 + 1
  Div128K,  // L / 131072 + 1
  FourK,    // ceil((L - 4096) / 4096), one try per page
  Ceil2K,   // ceil(L / 2048)
  Fixed4,   // 4 whatever L
};

struct Profile {
  bool usb;              // USB-attached (pipe) rather than serial-attached
  bool aio;              // command header 0x01 0x5B
  bool versionedLoader;  // bootloader version read in both modes
  bool fourKPage;        // 4K pages, single try, last 4096 bytes never sent
  uint16_t blockData;    // 256 or 128 data bytes per firmware block
  uint32_t maxSize;      // largest image accepted
  const char* sizeMessage;
  Reconnect reconnect;
  EraseRule erase;
};

extern const Profile kProfile[kModelCount];

// Exact, case-sensitive row lookup; -1 when the name is not a catalogue name.
int findModel(const char* name);

// Loader-version models are picked by their type identifier.
bool isVersionedLoaderId(uint16_t id);

// The release date an image's name carries, MODEL_version_YYYYMMDD_nn.bin,
// written "YYYY/MM/DD" into out (at least 11 bytes); out is "" when the third
// part of the name is not eight digits.
void imageDate(const char* imageName, char (&out)[11]);

}  // namespace quarn
