#include "catalogue/catalogue.h"

#include <cstring>

namespace quarn {

const char plcList[kModelCount][kModelNameSize] = {
    "KR2-MV2-V2", "TB2",        "TJ2",        "QN2",
    "KR2-C-V2",   "GH",         "DW3",        "30MV2-AIO",
    "TJ-V3",      "RTF-KR2-V2", "GH-H",       "QN2-H",
    "VN300",      "KR-MV-DW2",  "MV2-CAR",    "QN28",
    "KR2-E",      "VN200",      "VN200-AIO",  "GH26",
    "KR3",        "HPT-J",      "VN100",      "MV3-AIO",
    "KR2-MV2-V4", "TJ-V4",      "RTF-KR2-V4", "KR3-PACKAGE",
    "KR2-C-V4",   "WZ3TJ3",     "TJ3-AIO",    "VN200-TO-VN300",
    "VN200-Z",
};

const uint16_t plcID[kModelCount] = {
    0x000C, 0x000E, 0x000F, 0x0013, 0x000C, 0x0015, 0x0000, 0x000D, 0x0008, 0xA001, 0xA002,
    0xA003, 0x3000, 0x0003, 0xA006, 0x0013, 0x0017, 0x3010, 0x3010, 0x0015, 0x0020, 0xA00B,
    0x3020, 0x0020, 0x000C, 0x0008, 0xA001, 0x0020, 0x000C, 0x0022, 0x0022, 0x3010, 0xA010,
};

namespace {
constexpr uint32_t k128x4 = 0x80000, k128x7 = 0xE0000, k4 = 0x3000, k40 = 0xA000, k2028 = 0x1FB000,
                   k2x240 = 0x78800;
const char* const m128x4 = "The file size EXCEEDS the MAXIMUM size (128 * 1024 * 4)";
const char* const m128x7 = "The file size EXCEEDS the MAXIMUM size (128 * 1024 * 7)";
const char* const m4 = "The file size EXCEEDS the MAXIMUM size (4 * 1024)";
const char* const m40 = "The file size EXCEEDS the MAXIMUM size (40 * 1024)";
const char* const m2028 = "The file size EXCEEDS the MAXIMUM size (2028 * 1024)";
const char* const m2x240 = "The file size EXCEEDS the MAXIMUM size (2 * 1024 * 240)";
constexpr Reconnect W1 = Reconnect::Wait1s, P2 = Reconnect::PowerCycle2s, R2 = Reconnect::Replug2s,
                    R5 = Reconnect::Replug5s;
constexpr EraseRule E2K = EraseRule::Div2K, E16K = EraseRule::Div16K, E128K = EraseRule::Div128K,
                    E4K = EraseRule::FourK, EC2K = EraseRule::Ceil2K, E4 = EraseRule::Fixed4;
}  // namespace

// usb, aio, versioned loader, 4K pages, block data, limit, message, reconnect, erase
const Profile kProfile[kModelCount] = {
    /*  0 KR2-MV2-V2     */ {false, false, false, false, 128, k2x240, m2x240, W1, E2K},
    /*  1 TB2            */ {false, false, false, false, 128, k2x240, m2x240, W1, E2K},
    /*  2 TJ2            */ {false, false, false, false, 128, k2x240, m2x240, W1, E2K},
    /*  3 QN2            */ {false, false, false, false, 128, k2x240, m2x240, W1, E2K},
    /*  4 KR2-C-V2       */ {false, false, false, false, 128, k128x4, m128x4, P2, E128K},
    /*  5 GH             */ {true, false, false, false, 256, k2x240, m2x240, R2, E16K},
    /*  6 DW3            */ {false, false, false, false, 128, k2x240, m2x240, W1, E2K},
    /*  7 30MV2-AIO      */ {false, true, false, false, 256, k4, m4, W1, E4},
    /*  8 TJ-V3          */ {false, false, false, false, 128, k2x240, m2x240, W1, E2K},
    /*  9 RTF-KR2-V2     */ {false, false, false, false, 128, k2x240, m2x240, W1, E2K},
    /* 10 GH-H           */ {true, false, false, false, 256, k2x240, m2x240, R2, E16K},
    /* 11 QN2-H          */ {false, false, false, false, 128, k2x240, m2x240, W1, E2K},
    /* 12 VN300          */ {true, false, true, true, 256, k2028, m2028, R5, E4K},
    /* 13 KR-MV-DW2      */ {false, false, false, false, 128, k2x240, m2x240, W1, E2K},
    /* 14 MV2-CAR        */ {false, false, false, false, 128, k128x4, m128x4, P2, E128K},
    /* 15 QN28           */ {false, false, false, false, 128, k128x4, m128x4, W1, E128K},
    /* 16 KR2-E          */ {false, false, false, false, 128, k128x7, m128x7, W1, E128K},
    /* 17 VN200          */ {true, false, true, true, 256, k2028, m2028, R5, E4K},
    /* 18 VN200-AIO      */ {true, true, true, false, 256, k40, m40, R5, EC2K},
    /* 19 GH26           */ {true, false, false, false, 128, k128x7, m128x7, R2, E128K},
    /* 20 KR3            */ {true, false, true, true, 256, k2028, m2028, R5, E4K},
    /* 21 HPT-J          */ {true, false, true, true, 256, k2028, m2028, R5, E4K},
    /* 22 VN100          */ {true, false, true, true, 256, k2028, m2028, R5, E4K},
    /* 23 MV3-AIO        */ {true, true, true, false, 256, k40, m40, R5, EC2K},
    /* 24 KR2-MV2-V4     */ {false, false, false, false, 128, k2x240, m2x240, W1, E2K},
    /* 25 TJ-V4          */ {false, false, false, false, 128, k2x240, m2x240, W1, E2K},
    /* 26 RTF-KR2-V4     */ {false, false, false, false, 128, k2x240, m2x240, W1, E2K},
    /* 27 KR3-PACKAGE    */ {true, false, true, true, 256, k2028, m2028, R5, E4K},
    /* 28 KR2-C-V4       */ {false, false, false, false, 128, k128x4, m128x4, P2, E128K},
    /* 29 WZ3TJ3         */ {true, false, true, true, 256, k2028, m2028, R5, E4K},
    /* 30 TJ3-AIO        */ {true, true, true, false, 256, k40, m40, R5, EC2K},
    /* 31 VN200-TO-VN300 */ {true, false, true, true, 256, k2028, m2028, R5, E4K},
    /* 32 VN200-Z        */ {true, false, true, true, 256, k2028, m2028, R5, E4K},
};

int findModel(const char* name) {
  if (name == nullptr) return -1;
  for (int i = 0; i < kModelCount; ++i)
    if (std::strcmp(plcList[i], name) == 0) return i;
  return -1;
}

bool isVersionedLoaderId(uint16_t id) {
  switch (id) {
    case 0x3000:
    case 0x3010:
    case 0x0020:
    case 0xA00B:
    case 0x3020:
    case 0x0022:
    case 0xA010: return true;
    default: return false;
  }
}

void imageDate(const char* imageName, char (&out)[11]) {
  out[0] = '\0';
  const char* p = imageName;
  for (int cut = 0; cut < 2 && p; ++cut) {
    p = std::strchr(p, '_');
    if (p) ++p;
  }
  if (!p) return;
  for (int i = 0; i < 8; ++i)
    if (p[i] < '0' || p[i] > '9') return;
  if (p[8] != '_' && p[8] != '.' && p[8] != '\0') return;
  const char text[11] = {p[0], p[1], p[2], p[3], '/', p[4], p[5], '/', p[6], p[7], '\0'};
  std::memcpy(out, text, sizeof text);
}

}  // namespace quarn
