// Reading and hashing the firmware image.
#include "ui/cli/image.h"

#include <algorithm>
#include <cstdio>

#include "catalogue/catalogue.h"
#include "ui/cli/platform.h"

namespace quarn::cli {

bool ReadImage(const std::string& path, size_t limit, std::vector<uint8_t>& bytes, Sha256* hash,
               uint64_t& size) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  bytes.clear();
  size = 0;
  std::vector<uint8_t> chunk(size_t{1} << 16);
  size_t n;
  while ((hash || bytes.size() < limit) && (n = std::fread(chunk.data(), 1, chunk.size(), f)) > 0) {
    bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + std::min(n, limit - bytes.size()));
    if (hash) hash->update(chunk.data(), n);
    size += n;
  }
  bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

std::string LoadImage(const std::string& path, int row, const uint8_t* builtin,
                      uint32_t builtinSize, bool withHash, Image& image) {
  image.row = row;
  Sha256 hash;
  if (path.empty()) {
    image.data = builtin;
    image.size = builtinSize;
    image.fileSize = builtinSize;
    if (withHash) hash.update(builtin, builtinSize);
  } else {
    image.name = path;
    // One byte past the model's limit is enough for the worker to refuse a
    // larger image; nothing beyond that is kept.
    if (!ReadImage(path, size_t{kProfile[row].maxSize} + 1, image.bytes,
                   withHash ? &hash : nullptr, image.fileSize))
      return "cannot read the image file '" + path + "'";
    static const uint8_t kNone = 0;
    image.data = image.bytes.empty() ? &kNone : image.bytes.data();
    image.size = static_cast<uint32_t>(image.bytes.size());
  }
  if (withHash) image.sha256 = hash.hex();
  return "";
}

}  // namespace quarn::cli
