#include "ui/cli/cli.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "catalogue/catalogue.h"
#include "burn/guards.h"
#include "loader/loader.h"

namespace quarn::cli {

std::string ParseOptions(int argc, const char* const* argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool inlineValue = false;
    if (arg.rfind("--", 0) == 0) {
      size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        value = arg.substr(eq + 1);
        arg.resize(eq);
        inlineValue = true;
      }
    }
    if (arg == "--image" || arg == "--port" || arg == "--record") {
      if (!inlineValue) {
        // "--port --yes" is a forgotten value, not a port named "--yes".
        if (i + 1 >= argc || std::strncmp(argv[i + 1], "--", 2) == 0)
          return arg + " needs a value";
        value = argv[++i];
      }
      if (value.empty()) return arg + " needs a value";
      if (arg == "--image") {
        o.image = value;
      } else if (arg == "--record") {
        o.record = value;
      } else {
        if (!o.havePort) o.port = value;
        o.havePort = true;
        o.ports.push_back(value);
      }
      continue;
    }
    bool* flag = arg == "--yes"           ? &o.yes
                 : arg == "--identify"    ? &o.identify
                 : arg == "--list-ports"  ? &o.listPorts
                 : arg == "--list-models" ? &o.listModels
                 : arg == "--version"     ? &o.version
                 : arg == "--help"        ? &o.help
                                          : nullptr;
    if (!flag) return "unknown argument '" + std::string(argv[i]) + "'";
    if (inlineValue) return arg + " takes no value";
    *flag = true;
  }
  if (o.identify && !o.record.empty()) return "--record applies to a burn, not to --identify";
  if (o.identify && (o.ports.size() > 1 || o.port == "all"))
    return "--identify looks at one port";
  return "";
}

std::string BaseName(const std::string& path) {
#ifdef _WIN32
  size_t slash = path.find_last_of("/\\");
#else
  size_t slash = path.find_last_of('/');
#endif
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ImageModelPart(const std::string& path) {
  std::string base = BaseName(path);
  return base.substr(0, base.find('_'));
}

int ModelFromImageName(const std::string& path) {
  std::string part = ImageModelPart(path);
  if (part.size() >= static_cast<size_t>(kModelNameSize)) return -1;
  return findModel(part.c_str());
}

const char* PhaseWord(int32_t flashStatus) {
  switch (flashStatus) {
    case 0: return "Idle";
    case 1: return "Erasing";
    case 2: return "Programming";
    default: return "";
  }
}

void FormatProgress(char* buf, size_t size, int32_t flashStatus, int32_t progress,
                    int32_t elapsedTime, int32_t errCounter, int32_t totalErrCounter) {
  constexpr int kBar = 30;
  char bar[kBar + 1];
  int32_t shown = progress < 0 ? 0 : progress > 100 ? 100 : progress;
  int filled = shown * kBar / 100;
  std::memset(bar, '#', filled);
  std::memset(bar + filled, '.', kBar - filled);
  bar[kBar] = '\0';
  if (size == 0) return;
  std::snprintf(buf, size, "%-11s [%s] %3d%% %4d s  %d/%d", PhaseWord(flashStatus), bar,
                static_cast<int>(progress), static_cast<int>(elapsedTime),
                static_cast<int>(errCounter), static_cast<int>(totalErrCounter));
}

std::string InterruptedLine(const SessionState& st, uint32_t imageSize) {
  const char* const again = "run quarn-burn again to finish the update";
  const std::string inBootloader = std::string("the PLC stays in its bootloader: ") + again;
  char where[96];
  switch (st.stage) {
    case STAGE_ENTERING:
      return std::string("interrupted after the PLC was asked to leave its application for its "
                         "bootloader; ") + again;
    case STAGE_BOOTLOADER:
      return "interrupted while checking the bootloader; " + inBootloader;
    case STAGE_ERASING: {
      const int32_t pages = totalPages(st.selectedPLCIdx, imageSize), done = st.pagesErased;
      if (done >= pages)
        std::snprintf(where, sizeof where, "after erasing the flash (%d pages)", static_cast<int>(pages));
      else
        std::snprintf(where, sizeof where, "while erasing page %d of %d", static_cast<int>(done + 1),
                      static_cast<int>(pages));
      return std::string("interrupted ") + where + "; " + inBootloader;
    }
    case STAGE_PROGRAMMING: {
      const int32_t blocks = totalPacket(st.selectedPLCIdx, imageSize), done = st.blocksSent;
      if (done >= blocks)
        std::snprintf(where, sizeof where, "after programming block %d of %d", static_cast<int>(blocks),
                      static_cast<int>(blocks));
      else
        std::snprintf(where, sizeof where, "while programming block %d of %d", static_cast<int>(done + 1),
                      static_cast<int>(blocks));
      return std::string("interrupted ") + where + "; " + inBootloader;
    }
    default:
      return "interrupted before the update began; nothing on the PLC was changed";
  }
}

namespace {

std::string Hex4(uint16_t v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%04X", static_cast<unsigned>(v));
  return buf;
}

std::string Row(const char* name, const std::string& value) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "  %-18s ", name);
  return buf + value + "\n";
}

}  // namespace

std::string DescribeIdentity(const Identity& id, const std::string& port) {
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
  std::string models;
  for (int i = 0; i < id.fitCount; ++i) {
    if (i > 0) models += ' ';
    models += plcList[id.fits[i]];
  }
  s += Row("models that fit", models.empty() ? "none" : models);
  if (id.mode == Identity::APPLICATION) {
    s += Row("generation", std::string(IsV4(id.D1001) ? "V4.xx" : "V2.xx / V3.xx") + " (D1001 " +
                               Hex4(id.D1001) + ")");
  } else {
    s += Row("generation", "unknown (the bootloader does not report it)");
  }
  char version[40] = "none reported";
  if (id.haveLoaderVersion)
    std::snprintf(version, sizeof version, "V%u.%u (0x%02X)",
                  static_cast<unsigned>(id.loaderVersion >> 4),
                  static_cast<unsigned>(id.loaderVersion & 0x0F),
                  static_cast<unsigned>(id.loaderVersion));
  s += Row("loader version", version);
  if (id.mode == Identity::APPLICATION) {
    s += Row("registers", "D1001 " + Hex4(id.D1001) + "  D1148 " + Hex4(id.D1148) + "  D1386 " +
                              Hex4(id.D1386));
    s += Row("identifier 0x67", id.id67 ? Hex4(id.id67) : "none reported");
  }
  return s;
}

std::string Printable(const std::string& name) {
  std::string s = name;
  for (char& c : s)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return s;
}

std::string SummaryTable(const std::vector<SummaryRow>& rows) {
  size_t portW = 4, modelW = 5, outcomeW = 7;
  for (const SummaryRow& r : rows) {
    portW = std::max(portW, r.port.size());
    modelW = std::max(modelW, r.model.size());
    outcomeW = std::max(outcomeW, r.outcome.size());
  }
  const auto row = [&](const std::string& port, const std::string& model,
                       const std::string& outcome, const std::string& seconds,
                       const std::string& retries) {
    std::string s = port + std::string(portW - port.size() + 2, ' ') + model +
                    std::string(modelW - model.size() + 2, ' ') + outcome +
                    std::string(outcomeW - outcome.size(), ' ');
    char tail[40];
    std::snprintf(tail, sizeof tail, "  %8s  %7s\n", seconds.c_str(), retries.c_str());
    return s + tail;
  };
  std::string s = row("PORT", "MODEL", "OUTCOME", "SECONDS", "RETRIES");
  int passed = 0;
  for (const SummaryRow& r : rows) {
    char seconds[24];
    std::snprintf(seconds, sizeof seconds, "%.1f", r.seconds);
    s += row(Printable(r.port), r.model, Printable(r.outcome), seconds, std::to_string(r.retries));
    passed += r.passed;
  }
  return s + std::to_string(passed) + " passed, " + std::to_string(rows.size() - passed) +
         " failed\n";
}

const char* const kUsage =
    "Usage: quarn-burn [--image FILE] [--port PORT]... [--yes] [--record FILE]\n"
    "       quarn-burn --identify [--port PORT] [--image FILE]\n"
    "       quarn-burn --list-ports | --list-models | --version | --help\n"
    "\n"
    "Writes a firmware image into a PLC. The image's file name fixes the model:\n"
    "the part before its first '_' (VN300_v1.14.10_20240103_01.bin is for VN300).\n"
    "\n"
    "  --image FILE   write FILE instead of the image built into this program\n"
    "  --port PORT    serial models: the serial port (default: the first one found);\n"
    "                 USB models: usb:BUS-PORTS, the USB PLC on that port path\n"
    "                 (usb:1-2.3), or a device opened as the PLC's pipe (default:\n"
    "                 the first PLC found by vendor and product; the session keeps\n"
    "                 to its port path across the PLC's restart)\n"
    "                 Given more than once, or as 'all' (every port --list-ports\n"
    "                 lists that fits the model's link): one session on each port\n"
    "                 at once, every line starting with its port, then a summary\n"
    "  --yes          answer the reconnect prompts at once (the waits still happen)\n"
    "  --record FILE  append one line of JSON about the session to FILE\n"
    "  --identify     show what the PLC on the port reports about itself and which\n"
    "                 models fit it, changing nothing; the port is opened as a burn\n"
    "                 of the image's model would open it (the file is not read)\n"
    "  --list-ports   list the serial ports present, then the USB PLCs (usb:BUS-PORTS)\n"
    "  --list-models  list the models with link, image size limit and block size\n"
    "  --version      show the version and the built-in image\n"
    "  --help         show this text\n"
    "\n"
    "Ctrl-C stops a session at the next exchange with the PLC and says where;\n"
    "a second Ctrl-C ends quarn-burn at once.\n"
    "\n"
    "Exit status: 0 after the success message, 1 after an error message,\n"
    "2 for a usage error, 130 after an interrupt. Several ports: 0 when every\n"
    "session succeeded, 1 when any failed. --identify: 0 when a PLC answered,\n"
    "1 when none did.\n";

int Usage(const std::string& why) {
  std::fprintf(stderr, "quarn-burn: %s\nTry 'quarn-burn --help'.\n", why.c_str());
  return 2;
}

}  // namespace quarn::cli
