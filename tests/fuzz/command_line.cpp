// quarn-burn's command line, the model an image's file name fixes, and the
// progress line.
//
// Input: up to 16 arguments separated by NUL; the first 20 bytes also give
// the progress line's numbers.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "fuzz.h"
#include "ui/cli/cli.h"
#include "ui/cli/report.h"

using namespace quarn;

int fuzz::CommandLine(const uint8_t* data, size_t size) {
  Input in{data, size};
  int32_t n[5];
  for (int32_t& v : n) v = static_cast<int32_t>(static_cast<uint32_t>(in.word()) << 16 | in.word());
  cli::ProgressView v;
  v.flashStatus = n[0] & 3;
  v.stage = n[0] >> 2 & 7;
  v.progress = n[1];
  v.elapsedTime = n[2];
  v.errCounter = n[3];
  v.totalErrCounter = n[4];
  v.done = n[3] >> 8;
  v.total = n[4] >> 8;
  v.blockBytes = 128;
  v.stageSeconds = (n[2] & 0xFFFF) / 16.0;
  const size_t width = static_cast<uint8_t>(n[0] >> 8);
  FUZZ_CHECK(cli::ProgressLine(v, width).size() <= width);

  const std::string all(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> args{"quarn-burn"};
  for (size_t pos = 0; pos <= all.size() && args.size() < 17;) {
    const size_t end = std::min(all.find('\0', pos), all.size());
    args.push_back(all.substr(pos, end - pos));
    pos = end + 1;
  }
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  cli::Options o;
  const std::string why = cli::ParseOptions(static_cast<int>(argv.size()), argv.data(), o);
  if (why.empty()) {
    FUZZ_CHECK(o.havePort == !o.port.empty());
    FUZZ_CHECK(o.image.empty() || all.find(o.image) != std::string::npos);
  }

  // The model is the part of the base name before its first '_', exactly.
  for (const std::string& a : args) {
    const int row = cli::ModelFromImageName(a);
    const std::string part = cli::ImageModelPart(a);
    FUZZ_CHECK(row >= -1 && row < kModelCount);
    FUZZ_CHECK(part.find('_') == std::string::npos && part.find('/') == std::string::npos);
    if (row >= 0)
      FUZZ_CHECK(part == plcList[row]);
    else
      FUZZ_CHECK(findModel(part.c_str()) < 0);
  }
  return 0;
}
