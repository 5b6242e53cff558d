// The profile table drives every model-dependent decision: check it, row by
// row, against the catalogue as the product defines it (groups written out by
// name here, independently of the table).
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "catalogue/catalogue.h"
#include "catalogue/session.h"

using namespace quarn;

namespace {
std::set<std::string> names(std::initializer_list<const char*> l) { return {l.begin(), l.end()}; }

const auto kUsb =
    names({"GH", "GH-H", "VN300", "VN200", "VN200-AIO", "GH26", "KR3", "KR3-PACKAGE", "HPT-J",
           "VN100", "MV3-AIO", "WZ3TJ3", "TJ3-AIO", "VN200-TO-VN300", "VN200-Z"});
const auto kAio = names({"30MV2-AIO", "VN200-AIO", "MV3-AIO", "TJ3-AIO"});
const auto kVersioned = names({"VN300", "VN200", "VN200-AIO", "VN200-TO-VN300", "VN200-Z", "VN100",
                               "KR3", "KR3-PACKAGE", "MV3-AIO", "HPT-J", "WZ3TJ3", "TJ3-AIO"});
const auto k4K = names({"VN300", "VN200", "KR3", "KR3-PACKAGE", "HPT-J", "VN100", "WZ3TJ3",
                        "VN200-TO-VN300", "VN200-Z"});
}  // namespace

TEST(Catalogue, RowsAndIdentifiers) {
  struct Row {
    const char* name;
    uint16_t id;
  };
  const Row rows[kModelCount] = {{"KR2-MV2-V2", 0x000C}, {"TB2", 0x000E},
                                 {"TJ2", 0x000F},        {"QN2", 0x0013},
                                 {"KR2-C-V2", 0x000C},   {"GH", 0x0015},
                                 {"DW3", 0x0000},        {"30MV2-AIO", 0x000D},
                                 {"TJ-V3", 0x0008},      {"RTF-KR2-V2", 0xA001},
                                 {"GH-H", 0xA002},       {"QN2-H", 0xA003},
                                 {"VN300", 0x3000},      {"KR-MV-DW2", 0x0003},
                                 {"MV2-CAR", 0xA006},    {"QN28", 0x0013},
                                 {"KR2-E", 0x0017},      {"VN200", 0x3010},
                                 {"VN200-AIO", 0x3010},  {"GH26", 0x0015},
                                 {"KR3", 0x0020},        {"HPT-J", 0xA00B},
                                 {"VN100", 0x3020},      {"MV3-AIO", 0x0020},
                                 {"KR2-MV2-V4", 0x000C}, {"TJ-V4", 0x0008},
                                 {"RTF-KR2-V4", 0xA001}, {"KR3-PACKAGE", 0x0020},
                                 {"KR2-C-V4", 0x000C},   {"WZ3TJ3", 0x0022},
                                 {"TJ3-AIO", 0x0022},    {"VN200-TO-VN300", 0x3010},
                                 {"VN200-Z", 0xA010}};
  for (int i = 0; i < kModelCount; ++i) {
    EXPECT_STREQ(plcList[i], rows[i].name) << i;
    EXPECT_EQ(plcID[i], rows[i].id) << rows[i].name;
    EXPECT_EQ(findModel(rows[i].name), i);
  }
  EXPECT_EQ(findModel("vn300"), -1);  // exact, case-sensitive
  EXPECT_EQ(findModel(""), -1);
  EXPECT_EQ(findModel(nullptr), -1);
}

TEST(Catalogue, GroupsFollowTheNamedSets) {
  int usb = 0, aio = 0, versioned = 0, fourK = 0, block256 = 0;
  for (int i = 0; i < kModelCount; ++i) {
    const std::string n = plcList[i];
    const Profile& p = kProfile[i];
    EXPECT_EQ(p.usb, kUsb.count(n) == 1) << n;
    EXPECT_EQ(p.aio, kAio.count(n) == 1) << n;
    EXPECT_EQ(p.versionedLoader, kVersioned.count(n) == 1) << n;
    EXPECT_EQ(isVersionedLoaderId(plcID[i]), kVersioned.count(n) == 1) << n;
    EXPECT_EQ(p.fourKPage, k4K.count(n) == 1) << n;
    // 256-byte blocks: the USB-attached models but GH26, and 30MV2-AIO.
    const bool b256 = (kUsb.count(n) && n != "GH26") || n == "30MV2-AIO";
    EXPECT_EQ(p.blockData, b256 ? 256 : 128) << n;
    usb += p.usb;
    aio += p.aio;
    versioned += p.versionedLoader;
    fourK += p.fourKPage;
    block256 += p.blockData == 256;
  }
  EXPECT_EQ(usb, 15);
  EXPECT_EQ(aio, 4);
  EXPECT_EQ(versioned, 12);
  EXPECT_EQ(fourK, 9);
  EXPECT_EQ(block256, 15);
}

TEST(Catalogue, SizeLimitsAndTheirMessages) {
  struct Limit {
    std::set<std::string> models;
    uint32_t max;
    const char* text;
  };
  const Limit limits[] = {
      {names({"KR2-C-V2", "KR2-C-V4", "MV2-CAR", "QN28"}), 524288, "(128 * 1024 * 4)"},
      {names({"KR2-E", "GH26"}), 917504, "(128 * 1024 * 7)"},
      {names({"30MV2-AIO"}), 12288, "(4 * 1024)"},
      {names({"VN200-AIO", "MV3-AIO", "TJ3-AIO"}), 40960, "(40 * 1024)"},
      {k4K, 2076672, "(2028 * 1024)"},
  };
  for (int i = 0; i < kModelCount; ++i) {
    const std::string n = plcList[i];
    uint32_t max = 493568;
    std::string text = "The file size EXCEEDS the MAXIMUM size (2 * 1024 * 240)";
    for (const Limit& l : limits)
      if (l.models.count(n)) {
        max = l.max;
        text = std::string("The file size EXCEEDS the MAXIMUM size ") + l.text;
        break;
      }
    EXPECT_EQ(kProfile[i].maxSize, max) << n;
    EXPECT_EQ(kProfile[i].sizeMessage, text) << n;
  }
}

TEST(Catalogue, ReconnectAndEraseRules) {
  for (int i = 0; i < kModelCount; ++i) {
    const std::string n = plcList[i];
    Reconnect r = Reconnect::Wait1s;
    if (n == "GH" || n == "GH-H" || n == "GH26")
      r = Reconnect::Replug2s;
    else if (kVersioned.count(n))
      r = Reconnect::Replug5s;
    else if (n == "KR2-C-V2" || n == "KR2-C-V4" || n == "MV2-CAR")
      r = Reconnect::PowerCycle2s;
    EXPECT_EQ(kProfile[i].reconnect, r) << n;

    EraseRule e = EraseRule::Div2K;
    if (names({"KR2-C-V2", "KR2-C-V4", "MV2-CAR", "QN28", "KR2-E", "GH26"}).count(n))
      e = EraseRule::Div128K;
    else if (n == "GH" || n == "GH-H")
      e = EraseRule::Div16K;
    else if (k4K.count(n))
      e = EraseRule::FourK;
    else if (n == "VN200-AIO" || n == "MV3-AIO" || n == "TJ3-AIO")
      e = EraseRule::Ceil2K;
    else if (n == "30MV2-AIO")
      e = EraseRule::Fixed4;
    EXPECT_EQ(kProfile[i].erase, e) << n;
  }
}

TEST(SessionState, SelectionAndBoundedNames) {
  SessionState st;
  EXPECT_EQ(st.flashStatus, IDLE);
  st.selectModel(31);
  EXPECT_STREQ(st.selectedPLC, "VN200-TO-VN300");  // 14 characters and the terminator fit
  EXPECT_EQ(st.selectedPLCID, 0x3010);
  EXPECT_TRUE(st.modelIs("VN200-TO-VN300"));
  for (uint32_t row : {33u, 99u}) {  // out of range: nothing changes
    st.selectModel(row);
    EXPECT_EQ(st.selectedPLCIdx, 31u) << row;
    EXPECT_EQ(st.selectedPLCID, 0x3010) << row;
  }
  const std::string longest(sizeof st.selectedComPort - 1, 'x');
  EXPECT_TRUE(st.setComPort(longest.c_str()));
  EXPECT_FALSE(st.setComPort((longest + "y").c_str()));  // refused, old name kept
  EXPECT_EQ(st.selectedComPort, longest);
}

// The panel's date is the one the embedded image's name carries.
TEST(Catalogue, ImageDateFromTheName) {
  struct Case {
    const char* name;
    const char* date;
  };
  const Case cases[] = {
      {"VN300_v1.14.10_20240103_01.bin", "2024/01/03"},
      {"TB2_v2.10_20250315_01.bin", "2025/03/15"},
      {"GH26_v1_19991231.bin", "1999/12/31"},
      {"GH26_v1_20250315", "2025/03/15"},
      {"TB2_v2.10_2025031_01.bin", ""},
      {"TB2_v2.10_202503150_01.bin", ""},
      {"TB2_v2.10_2025-3-15_01.bin", ""},
      {"TB2_20250315_01.bin", ""},
      {"TB2.bin", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    char date[11] = "xxxxxxxxxx";
    imageDate(c.name, date);
    EXPECT_STREQ(date, c.date) << c.name;
  }
}
