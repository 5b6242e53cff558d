// What --identify found, as lines or as JSON: the mode, the identity, the
// registers and the loader version the PLC gave, the models that fit, and
// what a burn would make of the image named.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "burn/guards.h"
#include "catalogue/catalogue.h"
#include "loader/loader.h"
#include "ui/cli/cli.h"
#include "ui/cli/report.h"

namespace quarn::cli {

namespace {

std::string Hex4(uint16_t v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%04X", static_cast<unsigned>(v));
  return buf;
}

// A guard read as --identify shows it: its value, or that none came.
std::string Read(const Identity& id, GuardRead which, uint16_t value) {
  return id.unanswered & which ? "no answer" : Hex4(value);
}

std::string Row(const char* name, const std::string& value) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "  %-18s ", name);
  return buf + value + "\n";
}

}  // namespace

namespace {

std::string ModelsThatFit(const Identity& id) {
  std::string models;
  for (int i = 0; i < id.fitCount; ++i) {
    if (i > 0) models += ' ';
    models += plcList[id.fits[i]];
  }
  return models;
}

bool ImageFits(const Identity& id, int imageRow) {
  return std::find(id.fits, id.fits + id.fitCount, imageRow) != id.fits + id.fitCount;
}

// The mode probe's result in words.
std::string ProbeWords(uint8_t probe) {
  switch (probe) {
    case ENQ: return "application";
    case ACK: return "bootloader";
    case ERR | RUNMODE: return "run mode";
    case ERR | NORESPONSE: return "no answer";
    case ERR | UNKNOWN_ERROR_CODE: return "refused, unknown error code";
    default: return "refused, flow error";
  }
}

// What --identify says of the image named: its model fits, and a burn takes it.
std::string ImageWords(const Identity& id, int imageRow, const char* refusal) {
  const std::string model = plcList[imageRow];
  if (refusal == nullptr)
    return model + (ImageFits(id, imageRow) ? ", fits this PLC" : ", does NOT fit this PLC");
  return model + ", does NOT fit; a burn refuses it with \"" + refusal + "\"" +
         (ImageFits(id, imageRow) ? " (the model fits this PLC)" : "");
}

std::string LoaderVersion(const Identity& id) {
  char version[40];
  std::snprintf(
      version, sizeof version, "V%u.%u (0x%02X)", static_cast<unsigned>(id.loaderVersion >> 4),
      static_cast<unsigned>(id.loaderVersion & 0x0F), static_cast<unsigned>(id.loaderVersion));
  return version;
}

}  // namespace

std::string DescribeIdentity(const Identity& id, const std::string& port, int imageRow,
                             const sign::Verdict* signature, const char* imageRefusal) {
  std::string s = "PLC found on " + port + "\n";
  std::string mode = id.mode == Identity::BOOTLOADER ? "bootloader" : "application";
  char refusal[64];
  if (id.probe == (ERR | RUNMODE)) {
    mode += ", in run mode (it refuses an update)";
  } else if (id.probe != ENQ && id.probe != ACK) {
    std::snprintf(refusal, sizeof refusal, ", refusing the mode probe (result 0x%02X)",
                  static_cast<unsigned>(id.probe));
    mode += refusal;
  }
  s += Row("mode", mode);
  s += Row("command header", id.aio ? "0x01 0x5B (AIO models)" : "0x01 0x59");
  s += Row("type identifier", id.haveId ? Hex4(id.id) : "no answer");
  const std::string models = ModelsThatFit(id);
  s += Row("models that fit", models.empty() ? "none" : models);
  if (id.mode == Identity::APPLICATION) {
    s += Row("generation", std::string(IsV4(id.D1001) ? "V4.xx" : "V2.xx / V3.xx") + " (D1001 " +
                               Read(id, GUARD_D1001, id.D1001) + ")");
  } else {
    s += Row("generation", "unknown (the bootloader does not report it)");
  }
  s += Row("loader version", id.mode == Identity::APPLICATION && (id.unanswered & GUARD_VERSION)
                                 ? "no answer"
                             : id.haveLoaderVersion ? LoaderVersion(id)
                                                    : "none reported");
  if (id.mode == Identity::APPLICATION) {
    s += Row("registers", "D1001 " + Read(id, GUARD_D1001, id.D1001) + "  D1148 " +
                              Read(id, GUARD_D1148, id.D1148) + "  D1386 " +
                              Read(id, GUARD_D1386, id.D1386));
    s += Row("identifier 0x67", id.id67 ? Hex4(id.id67) : "none reported");
  }
  if (imageRow >= 0) s += Row("the image's model", ImageWords(id, imageRow, imageRefusal));
  if (imageRow >= 0 && signature) s += Row("its signature", SignatureWords(*signature));
  return s;
}

std::string IdentityJson(const Identity& id, const std::string& port, int imageRow,
                         const sign::Verdict* signature, const char* refusal) {
  nlohmann::ordered_json j;
  j["port"] = port;
  j["mode"] = id.mode == Identity::BOOTLOADER ? "bootloader" : "application";
  j["run_mode"] = id.probe == (ERR | RUNMODE);
  j["probe_result"] = ProbeWords(id.probe);
  j["aio_header"] = id.aio;
  j["type_identifier"] = id.haveId ? nlohmann::ordered_json(id.id) : nullptr;
  j["models_that_fit"] = nlohmann::ordered_json::array();
  for (int i = 0; i < id.fitCount; ++i) j["models_that_fit"].push_back(plcList[id.fits[i]]);
  j["loader_version"] = id.haveLoaderVersion ? nlohmann::ordered_json(id.loaderVersion) : nullptr;
  if (id.mode == Identity::APPLICATION) {
    j["generation"] = IsV4(id.D1001) ? "V4" : "V2/V3";
    j["registers"] = {{"D1001", id.D1001}, {"D1148", id.D1148}, {"D1386", id.D1386}};
    j["identifier_0x67"] = id.id67 ? nlohmann::ordered_json(id.id67) : nullptr;
  }
  if (imageRow >= 0) {
    j["image"] = {{"model", plcList[imageRow]},
                  {"fits", ImageFits(id, imageRow) && refusal == nullptr},
                  {"refused", refusal ? nlohmann::ordered_json(refusal) : nullptr}};
    if (signature) {
      const std::string key = SignatureKeyId(*signature);
      j["image"]["signature"] = SignatureStatus(*signature);
      j["image"]["key_id"] =
          key.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(key);
    }
  }
  return j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace quarn::cli
