// The firmware image of a run: the file named with --image, or the one
// built into the program; its model from its name; its SHA-256.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quarn::cli {

struct Image {
  std::string name;      // the file's path, or the built-in image's name
  int row = -1;          // the catalogue row its name fixes
  const uint8_t* data = nullptr;
  uint32_t size = 0;     // what the session is given: at most one byte past the model's limit
  uint64_t fileSize = 0;  // what the file holds
  std::string sha256;    // of the whole file; "" unless asked for, or when it failed
  std::vector<uint8_t> bytes;  // the file's bytes, where data points
};

// Reads at most limit bytes of path into bytes; with hash, reads on to the
// file's end to hash it all. size: the bytes the file holds (as far as read).
// false when it cannot be read.
class Sha256;
bool ReadImage(const std::string& path, size_t limit, std::vector<uint8_t>& bytes, Sha256* hash,
               uint64_t& size);

// Loads the image for catalogue row `row`: the file at path, or when path
// is empty the built-in one (builtin, builtinSize). withHash: compute its
// SHA-256. Returns what is wrong, or "".
std::string LoadImage(const std::string& path, int row, const uint8_t* builtin,
                      uint32_t builtinSize, bool withHash, Image& image);

}  // namespace quarn::cli
