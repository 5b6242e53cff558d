// Reading, hashing and checking the firmware image.
#include "ui/cli/image.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "burn/burn.h"
#include "catalogue/catalogue.h"
#include "loader/loader.h"
#include "ui/cli/cli.h"
#include "ui/cli/platform.h"
#include "ui/cli/trust.h"

namespace quarn::cli {
namespace {

// Reads at most limit bytes of path into bytes; with hash, reads on to the
// file's end to hash it all. size: the bytes the file holds (as far as read).
// Returns why it cannot be read, or "".
std::string ReadImage(const std::string& path, size_t limit, std::vector<uint8_t>& bytes,
                      Sha256* hash, uint64_t& size) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) return "it is a directory";
  errno = 0;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    if (errno == ENOENT) return "no such file";
    if (errno == EACCES || errno == EPERM) return "permission denied";
    return errno ? std::strerror(errno) : "it cannot be opened";
  }
  bytes.clear();
  size = 0;
  std::vector<uint8_t> chunk(size_t{1} << 16);
  size_t n;
  while ((hash || bytes.size() < limit) && (n = std::fread(chunk.data(), 1, chunk.size(), f)) > 0) {
    bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + std::min(n, limit - bytes.size()));
    if (hash) hash->update(chunk.data(), n);
    size += n;
  }
  const bool failed = std::ferror(f);
  std::fclose(f);
  return failed ? "a read failed" : "";
}

const char* ReconnectKind(Reconnect r) {
  switch (r) {
    case Reconnect::Wait1s: return "none (the PLC restarts into its bootloader; 1 s)";
    case Reconnect::PowerCycle2s: return "power cycle (the operator switches the PLC off and on; 2 s)";
    case Reconnect::Replug2s: return "replug (the operator replugs the USB cable; 2 s)";
    case Reconnect::Replug5s: return "replug (the operator replugs the USB cable; 5 s)";
  }
  return "";
}

}  // namespace

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
    const std::string why = ReadImage(path, size_t{kProfile[row].maxSize} + 1, image.bytes,
                                      withHash ? &hash : nullptr, image.fileSize);
    if (!why.empty()) return "cannot read the image file '" + path + "': " + why;
    static const uint8_t kNone = 0;
    image.data = image.bytes.empty() ? &kNone : image.bytes.data();
    image.size = static_cast<uint32_t>(image.bytes.size());
  }
  if (withHash) image.sha256 = hash.hex();
  return "";
}

int CheckImage(const std::string& path, const Trust& trust) {
  const int row = ModelFromImageName(path);
  if (row < 0) return Usage(UnknownModel(path));
  Image image;
  const std::string why = LoadImage(path, row, nullptr, 0, true, image);
  if (!why.empty()) return Usage(why);
  if (const char* refusal = ImageRefusal(static_cast<uint32_t>(row), image.size)) {
    std::fprintf(stderr, "ERROR: %s\n", refusal);
    return 1;
  }
  const sign::Verdict signature = CheckSignature(image, trust, nullptr);
  if (!signature.accepted()) {
    std::fputs(RefusalLine(signature, path, false).c_str(), stderr);
    return 1;
  }
  const Profile& p = kProfile[row];
  const auto line = [](const char* name, const std::string& value) {
    std::printf("%-15s %s\n", name, value.c_str());
  };
  line("image", Printable(BaseName(path)));
  line("model", plcList[row]);
  line("link", p.usb ? "USB" : "serial");
  line("size", std::to_string(image.fileSize) + " bytes (at most " + std::to_string(p.maxSize) + ")");
  line("pages to erase", std::to_string(totalPages(static_cast<uint32_t>(row), image.size)));
  line("blocks", std::to_string(totalPacket(static_cast<uint32_t>(row), image.size)) + " of " +
                     std::to_string(p.blockData) + " bytes");
  line("bytes sent", std::to_string(bytesSent(static_cast<uint32_t>(row), image.size)));
  line("reconnect", ReconnectKind(p.reconnect));
  line("sha256", image.sha256.empty() ? "unknown (the platform failed)" : image.sha256);
  line("signature", SignatureWords(signature));
  return 0;
}

}  // namespace quarn::cli
