// quarn-burn's command line: its options, the model an image name fixes,
// the help text and the usage errors.
#include "ui/cli/cli.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "catalogue/catalogue.h"

namespace quarn::cli {

namespace {

bool EndsWithBin(const std::string& name) {
  if (name.size() < 4) return false;
  std::string tail = name.substr(name.size() - 4);
  for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return tail == ".bin";
}

// The edits that turn a into b: letters left out, added, changed or two
// swapped (--imgae is one from --image).
size_t Distance(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i)
    for (size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min(
          {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  return d[a.size()][b.size()];
}

// The one of names closest to word, within two edits (one for a short
// word); "" when none is, or two are as close.
std::string Closest(const std::string& word, const std::vector<std::string>& names) {
  if (word.size() > 64) return "";  // no table for a name that long
  const size_t most = word.size() <= 4 ? 1 : 2;
  std::string best;
  size_t bestDistance = most + 1;
  bool tie = false;
  for (const std::string& name : names) {
    const size_t d = Distance(word, name);
    if (d < bestDistance) {
      best = name;
      bestDistance = d;
      tie = false;
    } else if (d == bestDistance) {
      tie = true;
    }
  }
  return tie ? "" : best;
}

}  // namespace

std::string ParseOptions(int argc, const char* const* argv, Options& o) {
  const struct {
    const char* name;
    std::string* value;  // null: a list
    std::vector<std::string>* list;
  } valued[] = {{"--image", &o.image, nullptr},
                {"--record", &o.record, nullptr},
                {"--trace", &o.trace, nullptr},
                {"--check-image", &o.checkImage, nullptr},
                {"--operator", &o.operatorName, nullptr},
                {"--count", &o.count, nullptr},
                {"--port", nullptr, &o.ports},
                {"--trust", nullptr, &o.trust}};
  const struct {
    const char* name;
    const char* shortName;
    bool* flag;
    bool action;
  } flags[] = {{"--yes", nullptr, &o.yes, false},
               {"--identify", nullptr, &o.identify, false},
               {"--json", nullptr, &o.json, false},
               {"--watch", nullptr, &o.watch, false},
               {"--list-ports", nullptr, &o.listPorts, true},
               {"--list-models", nullptr, &o.listModels, true},
               {"--version", "-V", &o.version, true},
               {"--help", "-h", &o.help, true}};
  std::vector<std::string> actions, others;  // the options given, by kind
  std::vector<std::string> known;            // every option's spelling
  for (const auto& v : valued) known.push_back(v.name);
  for (const auto& f : flags) known.push_back(f.name);
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
    const auto v = std::find_if(std::begin(valued), std::end(valued),
                                [&](const auto& e) { return arg == e.name; });
    if (v != std::end(valued)) {
      if (!inlineValue) {
        // "--port --yes" is a forgotten value, not a port named "--yes".
        if (i + 1 >= argc || std::strncmp(argv[i + 1], "--", 2) == 0) return arg + " needs a value";
        value = argv[++i];
      }
      if (value.empty()) return arg + " needs a value";
      if (v->value) {
        if (!v->value->empty()) return arg + " is given more than once";
        *v->value = value;
      } else {
        if (v->list == &o.ports &&
            std::find(o.ports.begin(), o.ports.end(), value) != o.ports.end())
          return arg + " " + Printable(value) + " is given more than once";
        if (v->list == &o.ports && !o.havePort) {
          o.port = value;
          o.havePort = true;
        }
        v->list->push_back(value);
      }
      if (arg == "--check-image")
        actions.push_back(arg);
      else if (arg != "--trust")
        others.push_back(arg);
      continue;
    }
    const auto f = std::find_if(std::begin(flags), std::end(flags), [&](const auto& e) {
      return arg == e.name || (e.shortName && arg == e.shortName);
    });
    if (f == std::end(flags)) {
      if (arg.rfind("-", 0) != 0 && EndsWithBin(arg))
        return "unknown argument '" + arg + "'; did you mean --image " + arg + "?";
      std::string why = "unknown argument '" + Printable(argv[i]) + "'";
      // One dash and one letter ("-y"): the one long option with that letter.
      std::string near;
      if (arg.size() == 2 && arg[0] == '-' && arg[1] != '-') {
        for (const std::string& name : known)
          if (name[2] == arg[1]) near = near.empty() ? name : "-";
        if (near == "-") near.clear();
      } else {
        near = Closest(arg, known);
      }
      return near.empty() ? why : why + "; did you mean " + near + "?";
    }
    if (inlineValue) return arg + " takes no value";
    *f->flag = true;
    (f->action ? actions : others).push_back(f->name);
  }
  if (!actions.empty()) {
    if (actions.size() > 1) return actions[0] + " and " + actions[1] + " do not go together";
    // --json goes with the lists and --check-image; any other option is named.
    const bool json = o.listPorts || o.listModels || !o.checkImage.empty();
    for (const std::string& other : others)
      if (!(json && other == "--json")) return actions[0] + " takes no " + other;
    if (!o.trust.empty() && o.checkImage.empty()) return actions[0] + " takes no --trust";
  } else if (o.json && !o.identify && !o.watch) {
    return "--json applies to --list-ports, --list-models, --check-image, --identify and --watch";
  }
  if (!o.count.empty() && !o.watch) return "--count applies to --watch";
  if (!o.count.empty() &&
      (o.count.size() > 6 || o.count.find_first_not_of("0123456789") != std::string::npos ||
       o.count == std::string(o.count.size(), '0')))
    return "--count takes a number of sessions from 1 to 999999";
  if (o.watch)
    for (const auto& [given, name] :
         {std::pair{o.identify, "--identify"}, {o.yes, "--yes"}, {!o.trace.empty(), "--trace"}})
      if (given) return std::string("--watch takes no ") + name;
  for (const std::string* image : {&o.image, &o.checkImage})
    if (!image->empty() && !EndsWithBin(*image))
      return "the image file '" + *image + "' does not end in .bin";
  if (o.identify && !o.record.empty()) return "--record applies to a burn, not to --identify";
  if (o.identify && !o.operatorName.empty())
    return "--operator applies to a burn, not to --identify";
  constexpr size_t kLongestOperator = 64;
  if (o.operatorName.size() > kLongestOperator)
    return "the operator's name is longer than " + std::to_string(kLongestOperator) + " bytes";
  for (const char c : o.operatorName)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
      return "the operator's name holds a control character";
  if (o.identify && (o.ports.size() > 1 || o.port == "all")) return "--identify looks at one port";
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

std::string UnknownModel(const std::string& path) {
  const std::string part = ImageModelPart(path);
  std::string why = "the image name '" + Printable(path) + "' names no known model ('" +
                    Printable(part) + "' is not in the catalogue; see --list-models)";
  // A model's name in the wrong case, or one letter off: the file name with it.
  std::string upper = part;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::string near = Closest(upper, std::vector<std::string>(plcList, plcList + kModelCount));
  if (near.empty()) return why;
  const std::string base = BaseName(path);
  return why + "; did you mean " + Printable(near + base.substr(part.size())) + "?";
}

std::string Printable(const std::string& name) {
  std::string s = name;
  for (char& c : s)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return s;
}

const char* const kUsage =
    "Usage: quarn-burn [--image FILE] [--port PORT]... [--yes] [--record FILE]\n"
    "                  [--trust KEY]...\n"
    "       quarn-burn --identify [--port PORT] [--image FILE] [--json]\n"
    "       quarn-burn --check-image FILE [--trust KEY]... [--json]\n"
    "       quarn-burn --list-ports [--json] | --list-models [--json]\n"
    "       quarn-burn --version | --help\n"
    "       quarn-burn --trace FILE [--image FILE] [--port PORT]... [...]\n"
    "       quarn-burn --watch [--image FILE] [--port PORT]... [--record FILE]\n"
    "                  [--count N] [--json]\n"
    "\n"
    "Writes a firmware image into a PLC. The image's file name fixes the model:\n"
    "the part before its first '_' (VN300_v1.14.10_20240103_01.bin is for VN300);\n"
    "the name ends in .bin.\n"
    "\n"
    "  --image FILE   write FILE instead of the image built into this program\n"
    "  --port PORT    serial models: the serial port (default: the one USB serial\n"
    "                 adapter present; with none or several, name one);\n"
    "                 USB models: usb:BUS-PORTS, the USB PLC on that port path\n"
    "                 (usb:1-2.3), or a device opened as the PLC's pipe (default:\n"
    "                 the first PLC found by vendor and product; the session keeps\n"
    "                 to its port path across the PLC's restart); on Windows\n"
    "                 usb: and the device's location path, its host controller\n"
    "                 included (usb:PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)), or\n"
    "                 usb:HUB-PORT from Port_#PORT.Hub_#HUB where Windows gives\n"
    "                 no location path (Port_#0002.Hub_#0001: usb:1-2)\n"
    "                 Given more than once, or as 'all' (every port --list-ports\n"
    "                 lists that fits the model's link): one session on each port\n"
    "                 at once, every line starting with its port, then a summary\n"
    "  --yes          answer the reconnect prompts at once (the waits still happen)\n"
    "  --record FILE  append one line of JSON about the session to FILE\n"
    "  --operator NAME  who runs the session, for the record (at most 64 bytes)\n"
    "  --trace FILE   write every exchange with the PLC to FILE, one timed line\n"
    "                 each ('-': standard error); several ports share FILE, each\n"
    "                 line led by its port\n"
    "  --identify     show what the PLC on the port reports about itself and which\n"
    "                 models fit it, changing nothing; with --image, whether that\n"
    "                 image's model fits (the file is not read). The port opens as\n"
    "                 a burn of the image's model would open it; with no image,\n"
    "                 usb:BUS-PORTS and USB are the USB PLC, any other a serial port\n"
    "  --check-image FILE\n"
    "                 check FILE's name, model, size and signature as a burn would\n"
    "                 and show what a burn of it sends, opening no port\n"
    "  --trust KEY    trust the public key in the PEM file KEY for this run, as well\n"
    "                 as those in the key directories (/usr/share/quarn-burn/keys,\n"
    "                 /etc/quarn-burn/keys; on Windows the folder keys beside the\n"
    "                 program and %ProgramData%\\Quarn\\keys). Once a key is trusted,\n"
    "                 an image is written only when a trusted key signed its\n"
    "                 manifest FILE.sig and the manifest matches it\n"
    "  --watch        a station: wait for PLCs on the ports (default: every port\n"
    "                 'all' takes; for USB models every USB place, as PLCs appear),\n"
    "                 update each PLC that arrives, see its replug or power cycle\n"
    "                 without a key (given up after 120 s), and update it once: a\n"
    "                 port is done until its PLC leaves. A board on a terminal, a\n"
    "                 line per event otherwise; Ctrl-C ends it\n"
    "  --count N      with --watch: end once N sessions have ended\n"
    "  --list-ports   list the serial ports present with what the system knows of\n"
    "                 them, then the USB PLCs (usb:BUS-PORTS; on Windows as above)\n"
    "  --list-models  list the models with link, image size limit and block size\n"
    "  --json         give --list-ports, --list-models, --check-image and --identify\n"
    "                 as JSON, and --watch's events as JSON lines\n"
    "  -V, --version  show the version and the built-in image\n"
    "  -h, --help     show this text\n"
    "\n"
    "Ctrl-C stops a session at the next exchange with the PLC and says where;\n"
    "a second Ctrl-C ends quarn-burn at once.\n"
    "\n"
    "Exit status: 0 after the success message, 1 after an error message or\n"
    "when a record or a trace asked for could not be written, 2 for a usage\n"
    "error, 130 after an interrupt. Several ports: 0 when every session\n"
    "succeeded, 1 when any failed. --identify: 0 when a PLC answered, 1 when\n"
    "none did.\n"
    "--check-image: 0 when a burn would take the image, 1 when it would refuse it.\n"
    "--watch: 0 when every session passed, 1 when one failed, 130 after Ctrl-C.\n";

int Usage(const std::string& why) {
  std::fprintf(stderr, "quarn-burn: %s\nTry 'quarn-burn --help'.\n", why.c_str());
  return 2;
}

}  // namespace quarn::cli
