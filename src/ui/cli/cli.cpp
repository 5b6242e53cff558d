#include "ui/cli/cli.h"

#include <cstdio>
#include <cstring>

#include "catalogue/catalogue.h"

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
    if (arg == "--image" || arg == "--port") {
      if (!inlineValue) {
        // "--port --yes" is a forgotten value, not a port named "--yes".
        if (i + 1 >= argc || std::strncmp(argv[i + 1], "--", 2) == 0)
          return arg + " needs a value";
        value = argv[++i];
      }
      if (value.empty()) return arg + " needs a value";
      if (arg == "--image") {
        o.image = value;
      } else {
        o.port = value;
        o.havePort = true;
      }
      continue;
    }
    bool* flag = arg == "--yes"           ? &o.yes
                 : arg == "--list-ports"  ? &o.listPorts
                 : arg == "--list-models" ? &o.listModels
                 : arg == "--version"     ? &o.version
                 : arg == "--help"        ? &o.help
                                          : nullptr;
    if (!flag) return "unknown argument '" + std::string(argv[i]) + "'";
    if (inlineValue) return arg + " takes no value";
    *flag = true;
  }
  return "";
}

std::string ImageModelPart(const std::string& path) {
#ifdef _WIN32
  size_t slash = path.find_last_of("/\\");
#else
  size_t slash = path.find_last_of('/');
#endif
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
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

}  // namespace quarn::cli
