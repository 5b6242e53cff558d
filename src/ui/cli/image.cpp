// Reading, hashing and checking the firmware image.
#include "ui/cli/image.h"

#include <algorithm>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "burn/burn.h"
#include "catalogue/catalogue.h"
#include "loader/loader.h"
#include "ui/cli/cli.h"
#include "ui/cli/files.h"
#include "ui/cli/report.h"
#include "ui/cli/trust.h"

namespace quarn::cli {
namespace {

const char* ReconnectKind(Reconnect r) {
  switch (r) {
    case Reconnect::Wait1s: return "none (the PLC restarts into its bootloader; 1 s)";
    case Reconnect::PowerCycle2s:
      return "power cycle (the operator switches the PLC off and on; 2 s)";
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
    // The file is read once: what is hashed, checked and sent are these
    // bytes. One byte past the model's limit is enough for the worker to
    // refuse a larger image; nothing beyond that is read.
    const size_t limit = size_t{kProfile[row].maxSize} + 1;
    uint64_t holds = 0;
    const std::string why = ReadRegularFile(path, limit, image.bytes, holds);
    if (!why.empty()) return "cannot read the image file '" + Printable(path) + "': " + why;
    static const uint8_t kNone = 0;
    image.data = image.bytes.empty() ? &kNone : image.bytes.data();
    image.size = static_cast<uint32_t>(image.bytes.size());
    // Too large: no hash (the file was not read to its end), its size as
    // the system gives it.
    const bool whole = image.bytes.size() < limit;
    image.fileSize = whole ? image.bytes.size() : std::max<uint64_t>(holds, image.bytes.size());
    if (withHash && whole) hash.update(image.data, image.bytes.size());
    withHash = withHash && whole;
  }
  if (withHash) image.sha256 = hash.hex();
  return "";
}

namespace {

// The layout of --check-image --json, written as its "schema" field.
constexpr int kCheckSchema = 1;

// A check that refused the image, as --check-image --json says it on stdout
// (the text form's line goes to stderr as ever); returns its exit status.
int JsonRefusal(const std::string& path, std::string reason) {
  while (!reason.empty() && reason.back() == '\n') reason.pop_back();
  nlohmann::ordered_json j;
  j["schema"] = kCheckSchema;
  j["image"] = BaseName(path);
  j["error"] = "refused";
  j["reason"] = reason;
  std::puts(j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
  return 1;
}

}  // namespace

int CheckImage(const std::string& path, const Trust& trust, bool json) {
  const int row = ModelFromImageName(path);
  if (row < 0) return Usage(UnknownModel(path));
  Image image;
  const std::string why = LoadImage(path, row, nullptr, 0, true, image);
  if (!why.empty()) return Usage(why);
  if (const char* refusal = ImageRefusal(static_cast<uint32_t>(row), image.size)) {
    std::fprintf(stderr, "ERROR: %s\n", refusal);
    return json ? JsonRefusal(path, refusal) : 1;
  }
  const sign::Verdict signature = CheckSignature(image, trust, nullptr);
  if (!signature.accepted()) {
    const std::string line = RefusalLine(signature, path, false);
    std::fputs(line.c_str(), stderr);
    return json ? JsonRefusal(path, line) : 1;
  }
  const Profile& p = kProfile[row];
  const auto r = static_cast<uint32_t>(row);
  const uint32_t sent = bytesSent(r, image.size);
  if (json) {
    nlohmann::ordered_json j;
    j["schema"] = kCheckSchema;
    j["image"] = BaseName(path);
    j["model"] = plcList[row];
    j["link"] = p.usb ? "USB" : "serial";
    j["size"] = image.fileSize;
    j["max_size"] = p.maxSize;
    j["pages_to_erase"] = totalPages(r, image.size);
    j["blocks"] = totalPacket(r, image.size);
    j["block_bytes"] = p.blockData;
    j["bytes_sent"] = sent;
    j["not_sent"] = image.size - sent;
    j["reconnect"] = ReconnectKind(p.reconnect);
    j["sha256"] = image.sha256.empty() ? nlohmann::ordered_json(nullptr)
                                       : nlohmann::ordered_json(image.sha256);
    const std::string key = SignatureKeyId(signature);
    j["signature"] = SignatureStatus(signature);
    j["key_id"] = key.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(key);
    std::puts(j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
    return 0;
  }
  const auto line = [](const char* name, const std::string& value) {
    std::printf("%-15s %s\n", name, value.c_str());
  };
  line("image", Printable(BaseName(path)));
  line("model", plcList[row]);
  line("link", p.usb ? "USB" : "serial");
  line("size",
       std::to_string(image.fileSize) + " bytes (at most " + std::to_string(p.maxSize) + ")");
  line("pages to erase", std::to_string(totalPages(r, image.size)));
  line("blocks", std::to_string(totalPacket(r, image.size)) + " of " + std::to_string(p.blockData) +
                     " bytes");
  line("bytes sent", std::to_string(sent));
  // A 4K-page model never sends the image's last 4096 bytes.
  if (p.fourKPage)
    line("not sent", std::to_string(image.size - sent) +
                         " bytes (a 4K-page model neither erases nor sends an image's last 4096)");
  line("reconnect", ReconnectKind(p.reconnect));
  line("sha256", image.sha256.empty() ? "unknown (the platform failed)" : image.sha256);
  line("signature", SignatureWords(signature));
  return 0;
}

}  // namespace quarn::cli
