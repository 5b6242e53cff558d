// Replays every checked-in input of the fuzz targets (seeds and the inputs
// of past findings) through the same targets, in the unit tests' build.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz.h"

TEST(FuzzCorpus, EveryCheckedInInputPasses) {
  namespace fs = std::filesystem;
  const std::pair<const char*, int (*)(const uint8_t*, size_t)> targets[] = {
      {"app", fuzz::AppReplies},  {"loader", fuzz::LoaderReplies}, {"session", fuzz::Session},
      {"ports", fuzz::PortNames}, {"cli", fuzz::CommandLine},      {"manifest", fuzz::Manifest}};
  for (const auto& [name, target] : targets) {
    const fs::path dir = fs::path(QUARN_FUZZ_CORPUS) / name;
    int inputs = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
      std::ifstream f(entry.path(), std::ios::binary);
      const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)),
                                       std::istreambuf_iterator<char>());
      const std::string path = entry.path().string();
      fuzz::replaying = path.c_str();
      target(bytes.data(), bytes.size());
      fuzz::replaying = nullptr;
      ++inputs;
    }
    EXPECT_GT(inputs, 0) << dir;
  }
}
