// quarn-burn: firmware updates from the command line. Every message of a
// session is printed as "CAPTION: TEXT" (errors on stderr, the rest on
// stdout); the status panel becomes a progress line on stderr. This file
// reads the command line and dispatches; the work lives in run.cpp (the
// sessions), cli_operator.cpp (the operator at a terminal), console.cpp
// (the live lines), interrupts.cpp, image.cpp, trust.cpp (the signature)
// and ports.cpp.
#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "burn/burn.h"
#include "catalogue/catalogue.h"
#include "ui/cli/cli.h"
#include "ui/cli/embedded_image.h"
#include "ui/cli/files.h"
#include "ui/cli/image.h"
#include "ui/cli/interrupts.h"
#include "ui/cli/links.h"
#include "ui/cli/ports.h"
#include "ui/cli/report.h"
#include "ui/cli/run.h"
#include "ui/cli/trust.h"
#include "ui/cli/watch_show.h"

namespace {

using namespace quarn;

int ShowVersion() {
  const int row = cli::ModelFromImageName(quarn_image_name);
  if (quarn_image_name[0] == '\0')
    std::printf("quarn-burn %s\nbuilt-in image: none (name one with --image)\n", QUARN_VERSION);
  else
    std::printf("quarn-burn %s\nbuilt-in image: %s (model %s)\n", QUARN_VERSION, quarn_image_name,
                row < 0 ? "unknown" : plcList[row]);
  return 0;
}

// Files the run writes that would clobber what it reads or each other:
// --record, --trace and --image that are one file (through links too, or
// one name of a file not there yet). "" when there is none.
std::string FileClash(const cli::Options& o) {
  const struct {
    const char* option;
    const std::string& path;
  } files[] = {{"--image", o.image}, {"--record", o.record}, {"--trace", o.trace}};
  for (size_t i = 0; i < std::size(files); ++i)
    for (size_t j = i + 1; j < std::size(files); ++j) {
      const auto &a = files[i], &b = files[j];
      if (a.path.empty() || b.path.empty() || a.path == "-" || b.path == "-") continue;
      if (cli::SameFile(a.path, b.path))
        return std::string(a.option) + " and " + b.option + " name the same file ('" +
               cli::Printable(a.path) + "', '" + cli::Printable(b.path) + "')";
    }
  return "";
}

int ListPorts(bool json) {
  const cli::PresentPorts present{cli::PresentSerialPorts(), cli::PresentUsbPlcs()};
  if (present.serial.empty() && present.usb.empty())
    std::fputs("quarn-burn: no port found\n", stderr);
  std::fputs(cli::PortList(present, json).c_str(), stdout);
  for (const std::string& name : cli::SharedUsbNames(present.usb))
    std::fprintf(stderr, "quarn-burn: %s\n", cli::SharedUsbNameLine(name).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  cli::Options o;
  std::string why = cli::ParseOptions(argc, argv, o);
  if (!why.empty()) return cli::Usage(why);
  if (o.help) {
    std::fputs(cli::kUsage, stdout);
    return 0;
  }
  if (o.version) return ShowVersion();
  if (o.listModels) {
    std::fputs(cli::ModelList(o.json).c_str(), stdout);
    return 0;
  }
  if (o.listPorts) return ListPorts(o.json);

  // The keys trusted: the release's own, the key directories', --trust.
  const std::string releaseKey(quarn_key_begin, quarn_key_end);
  const std::string builtinManifest(quarn_manifest_begin, quarn_manifest_end);
  cli::Trust trust;
  why = cli::LoadTrust(releaseKey, o.trust, trust);
  if (!why.empty()) return cli::Usage(why);
  if (!o.checkImage.empty()) return cli::CheckImage(o.checkImage, trust, o.json);

  // The image and, from its name, the model. No fallback to another model:
  // flashing the wrong model is the worst outcome. --identify needs none.
  const std::string name = o.image.empty() ? std::string(quarn_image_name) : o.image;
  const int row = name.empty() ? -1 : cli::ModelFromImageName(name);
  if (!name.empty() && row < 0) return cli::Usage(cli::UnknownModel(name));
  why = FileClash(o);
  if (!why.empty()) return cli::Usage(why);
  if (name.empty() && !o.identify)
    return cli::Usage("this quarn-burn has no built-in image; name one with --image FILE");

  // The image is read once; its signature is checked on the bytes read,
  // which are the bytes sent. --identify reads only the one named with
  // --image: without it, the port's name decides the link.
  cli::Image image;
  if (!name.empty() && (!o.identify || !o.image.empty())) {
    why = cli::LoadImage(o.image, row, quarn_image_begin,
                         static_cast<uint32_t>(quarn_image_end - quarn_image_begin), true,
                         image);  // the banner shows its SHA-256
    if (!why.empty()) return cli::Usage(why);
    image.name = name;
    const bool builtin = o.image.empty();
    image.signature = cli::CheckSignature(image, trust, builtin ? &builtinManifest : nullptr);
  }
  cli::WatchForStops();
  if (o.identify) return cli::RunIdentify(o, o.image.empty() ? nullptr : &image);
  if (!image.signature.accepted()) {
    // Refused before any port is opened. A release's own image that fails
    // its release's signature says so as the window does.
    const bool release = o.image.empty() && (!releaseKey.empty() || !builtinManifest.empty());
    if (release) std::fprintf(stderr, "ERROR: %s\n", kBuiltInImageRefused);
    std::fputs(cli::RefusalLine(image.signature, name, o.image.empty()).c_str(), stderr);
    return 1;
  }

  if (o.watch) return cli::RunWatch(o, image);
  // Several ports, or "all": one burn on each, side by side.
  if (o.ports.size() > 1 || (o.havePort && o.port == "all")) {
    std::vector<std::string> ports;
    why = cli::BatchPorts(o.ports, row, {cli::PresentSerialPorts(), cli::PresentUsbPlcs()}, ports);
    if (!why.empty()) return cli::Usage(why);
    return cli::RunBurns(o, image, &ports);
  }
  return cli::RunBurns(o, image, nullptr);
}
