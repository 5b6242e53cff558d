// quarn-burn's command line, the model an image name fixes, and the
// progress line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "ui/cli/cli.h"

using quarn::cli::Options;

namespace {

std::string Parse(std::vector<const char*> args, Options& o) {
  args.insert(args.begin(), "quarn-burn");
  return quarn::cli::ParseOptions(static_cast<int>(args.size()), args.data(), o);
}

TEST(CliOptions, AcceptedCommandLines) {
  struct Case {
    std::vector<const char*> args;
    std::string image, port;
    bool havePort, yes, listPorts;
  };
  const Case cases[] = {
      {{}, "", "", false, false, false},
      {{"--image", "a/QN2_1.bin", "--port", "/dev/ttyUSB0", "--yes"}, "a/QN2_1.bin",
       "/dev/ttyUSB0", true, true, false},
      {{"--image=QN2_1.bin", "--port=COM3"}, "QN2_1.bin", "COM3", true, false, false},
      {{"--port=--odd"}, "", "--odd", true, false, false},
      {{"--list-ports"}, "", "", false, false, true},
  };
  for (const Case& c : cases) {
    Options o;
    EXPECT_EQ(Parse(c.args, o), "") << c.args.size();
    EXPECT_EQ(o.image, c.image);
    EXPECT_EQ(o.port, c.port);
    EXPECT_EQ(o.havePort, c.havePort);
    EXPECT_EQ(o.yes, c.yes);
    EXPECT_EQ(o.listPorts, c.listPorts);
  }
}

TEST(CliOptions, RefusedCommandLines) {
  const std::vector<std::vector<const char*>> cases = {
      {"--image"},         {"--port"},          {"--image="},  {"--port", ""},
      {"--yes=1"},         {"VN300_x.bin"},     {"-y"},        {"--imagefile", "x"},
      {"--yes", "--what"}, {"--port", "--yes"},
  };
  for (const auto& args : cases) {
    Options o;
    EXPECT_NE(Parse(args, o), "") << args[0];
  }
}

TEST(CliImageName, ModelIsThePartBeforeTheFirstUnderscore) {
  struct Case {
    const char* path;
    const char* model;  // nullptr: refused
  };
  const Case cases[] = {
      {"VN300_v1.14.10_20240103_01.bin", "VN300"},
      {"/tmp/build_dir/QN2_fw.bin", "QN2"},            // directories do not count
      {"VN200-TO-VN300_x.bin", "VN200-TO-VN300"},      // 14 characters
      {"KR2-C-V4_2.bin", "KR2-C-V4"},
      {"vn300_v1.bin", nullptr},                       // exact case
      {"VN300.bin", nullptr},                          // no model part
      {"VN3000_v1.bin", nullptr},
      {"VN200-TO-VN300X_x.bin", nullptr},              // longer than any name
      {"_VN300.bin", nullptr},
      {"/tmp/VN300_dir/", nullptr},
      {"", nullptr},
  };
  for (const Case& c : cases) {
    int row = quarn::cli::ModelFromImageName(c.path);
    if (c.model) {
      ASSERT_GE(row, 0) << c.path;
      EXPECT_STREQ(quarn::plcList[row], c.model) << c.path;
    } else {
      EXPECT_EQ(row, -1) << c.path;
    }
  }
}

TEST(CliProgress, BarFollowsThePercentageAndStaysInItsBuffer) {
  struct Case {
    int32_t status, progress;
    const char* word;
    int hashes;
  };
  const Case cases[] = {
      {0, 0, "Idle ", 0},           {1, 50, "Erasing ", 15},    {2, 99, "Programming ", 29},
      {2, 100, "Programming ", 30}, {2, 250, "Programming ", 30}, {2, -7, "Programming ", 0},
      {9, 10, "            [", 3},
  };
  for (const Case& c : cases) {
    char buf[128];
    quarn::cli::FormatProgress(buf, sizeof buf, c.status, c.progress, 7, 2, 1234567);
    std::string line = buf;
    EXPECT_EQ(line.rfind(c.word, 0), 0u) << line;
    size_t open = line.find('['), close = line.find(']');
    ASSERT_EQ(close - open, 31u) << line;
    EXPECT_EQ(std::count(line.begin() + open, line.begin() + close, '#'), c.hashes) << line;
    char percent[16];
    std::snprintf(percent, sizeof percent, " %d%%", static_cast<int>(c.progress));
    EXPECT_NE(line.find(percent), std::string::npos) << line;
    EXPECT_NE(line.find("   7 s"), std::string::npos) << line;
    EXPECT_NE(line.find("2/1234567"), std::string::npos) << line;
  }
  char small[12];
  std::memset(small, 'x', sizeof small);
  quarn::cli::FormatProgress(small, 8, 2, 100, 2147483647, -2147483647 - 1, 2147483647);
  EXPECT_EQ(std::string(small), "Program");
  EXPECT_EQ(small[8], 'x');
}

}  // namespace
