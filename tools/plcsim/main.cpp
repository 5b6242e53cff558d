// plcsim: serves the simulated PLC on a pseudo-terminal (serve.cpp). This
// file reads its command line, option by option from one table that also
// gives each option's lines in --help.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "plcsim.h"
#include "serve.h"

namespace {

using plcsim::Options;

bool parseLate(const std::string& arg, plcsim::LateReply& l) {
  const std::vector<std::string> parts = plcsim::SplitColons(arg);
  if (parts.size() != 2) return false;
  const int kind = plcsim::ParseKind(parts[0]);
  if (kind < 0 || !plcsim::ParseNumber(parts[1].c_str(), 600000, l.ms)) return false;
  l.kind = static_cast<plcsim::Kind>(kind);
  return true;
}

bool parseDrop(const std::string& arg, plcsim::Drop& d) {
  const std::vector<std::string> parts = plcsim::SplitColons(arg);
  if (parts.size() < 2 || parts.size() > 3) return false;
  const int kind = plcsim::ParseKind(parts[0]);
  if (kind < 0 || !plcsim::ParseNumber(parts[1].c_str(), 1000000, d.after) || d.after < 1)
    return false;
  if (parts.size() == 3 && !plcsim::ParseNumber(parts[2].c_str(), 600000, d.downMs)) return false;
  d.kind = static_cast<plcsim::Kind>(kind);
  return true;
}

bool parseUnplug(const std::string& arg, plcsim::Unplug& u) {
  const std::vector<std::string> parts = plcsim::SplitColons(arg);
  if (parts.size() < 2 || parts.size() > 3 || (parts.size() == 3 && parts[2] != "off"))
    return false;
  u.off = parts.size() == 3;
  return plcsim::ParseNumber(parts[0].c_str(), 86400000, u.atMs) &&
         plcsim::ParseNumber(parts[1].c_str(), 86400000, u.forMs);
}

constexpr int kGoOn = -1;  // what an option returns when plcsim goes on

// A value that does not parse: a usage error.
int bad(const char* option, const char* value) {
  std::fprintf(stderr, "plcsim: bad %s %s (see --help)\n", option, value);
  return 2;
}

template <class T>
int set(T& field, T value) {
  field = value;
  return kGoOn;
}

void usage(FILE* f);

int help(Options&, const char*, long) {
  usage(stdout);
  return 0;
}

// One option of the command line: its spelling, what it takes, what it does
// with it and its lines in --help.
struct Option {
  enum class Takes { Nothing, Text, Number };
  const char* name;
  Takes takes;
  long max;  // Number: from 0 to max
  // text: the value (for an option that takes none, the argument after
  // it); number: the value as a number. Returns kGoOn or the exit status.
  int (*take)(Options& o, const char* text, long number);
  // Its lines, without the last line break; nullptr: told with another option.
  const char* help;
  long shownDefault = -1;  // given at the end of help as "(default N)"; -1: none
};

using Takes = Option::Takes;

const Option kOptions[] = {
    {"--model", Takes::Text, 0,
     [](Options& o, const char* v, long) { return set(o.cfg.model, std::string(v)); },
     "  --model NAME        catalogue model name (VN300, TB2, ...)"},
    {"--mode", Takes::Text, 0,
     [](Options& o, const char* v, long) {
       if (std::strcmp(v, "app") != 0 && std::strcmp(v, "boot") != 0) {
         std::fprintf(stderr, "plcsim: --mode is app or boot\n");
         return 2;
       }
       return set(o.cfg.mode, std::strcmp(v, "boot") == 0 ? plcsim::Mode::Boot : plcsim::Mode::App);
     },
     "  --mode app|boot     program the PLC runs at start (default app)"},
    {"--link", Takes::Text, 0,
     [](Options& o, const char* v, long) { return set(o.linkPath, std::string(v)); },
     "  --link PATH         make PATH a symbolic link to the slave (an existing link is replaced)"},
    {"--flash-out", Takes::Text, 0,
     [](Options& o, const char* v, long) { return set(o.flashOut, std::string(v)); },
     "  --flash-out FILE    write the flash to FILE when a transfer is closed"},
    {"--app-id", Takes::Number, 0xFFFF,
     [](Options& o, const char*, long n) { return set(o.cfg.appId, int(n)); },
     "  --app-id N          identifier the application reports (default: the model's)"},
    {"--boot-id", Takes::Number, 0xFFFF,
     [](Options& o, const char*, long n) { return set(o.cfg.bootId, int(n)); },
     "  --boot-id N         identifier the bootloader reports (default: what the model expects)"},
    {"--id67", Takes::Number, 0xFFFF,
     [](Options& o, const char*, long n) { return set(o.cfg.id67, int(n)); },
     "  --id67 N            identifier by function 0x67 (default: the model's)"},
    {"--d1386", Takes::Number, 0xFFFF,
     [](Options& o, const char*, long n) { return set(o.cfg.d1386, int(n)); },
     "  --d1386 N --d1001 N --d1148 N   register values (default: what a PLC of the\n"
     "                      model holds, so that it passes its own model's checks)"},
    {"--d1001", Takes::Number, 0xFFFF,
     [](Options& o, const char*, long n) { return set(o.cfg.d1001, int(n)); }, nullptr},
    {"--d1148", Takes::Number, 0xFFFF,
     [](Options& o, const char*, long n) { return set(o.cfg.d1148, int(n)); }, nullptr},
    {"--loader-version", Takes::Number, 0xFF,
     [](Options& o, const char*, long n) { return set(o.cfg.loaderVersion, uint8_t(n)); },
     "  --loader-version N  bootloader version byte, 0xMm (default 0x20)"},
    {"--no-enter-boot", Takes::Nothing, 0,
     [](Options& o, const char*, long) { return set(o.cfg.enterBoot, false); },
     "  --no-enter-boot     the enter-update request is acknowledged but ignored"},
    {"--no-line-check", Takes::Nothing, 0,
     [](Options& o, const char*, long) { return set(o.cfg.checkLine, false); },
     "  --no-line-check     accept bytes at any line settings"},
    {"--pace", Takes::Nothing, 0, [](Options& o, const char*, long) { return set(o.pace, true); },
     "  --pace              take the time of the wire and of the PLC: serial models at the\n"
     "                      host's baud rate (10 bit times a character), USB models with a\n"
     "                      latency per transfer each way; the PLC's own times below"},
    {"--latency-us", Takes::Number, 10000000,
     [](Options& o, const char*, long n) { return set(o.latencyUs, uint32_t(n)); },
     "  --latency-us N      USB models, with --pace: latency of a transfer", plcsim::kLatencyUs},
    {"--erase-us", Takes::Number, 100000000,
     [](Options& o, const char*, long n) { return set(o.cfg.times.erasePageUs, uint32_t(n)); },
     "  --erase-us N        with --pace: erasing one page", plcsim::Times{}.erasePageUs},
    {"--write-us", Takes::Number, 100000000,
     [](Options& o, const char*, long n) { return set(o.cfg.times.writeBlockUs, uint32_t(n)); },
     "  --write-us N        with --pace: programming one block", plcsim::Times{}.writeBlockUs},
    {"--restart-us", Takes::Number, 100000000,
     [](Options& o, const char*, long n) { return set(o.cfg.times.restartUs, uint32_t(n)); },
     "  --restart-us N      with --pace: restart into the bootloader after the confirmed\n"
     "                      enter-update request, deaf to the line",
     plcsim::Times{}.restartUs},
    {"--fault", Takes::Text, 0,
     [](Options& o, const char* v, long) {
       plcsim::Fault f{};
       if (!plcsim::ParseFault(v, f)) return bad("--fault", v);
       o.faults.push_back(f);
       return kGoOn;
     },
     "  --fault KIND:ACT[:TIMES[:ARG1[:ARG2]]]   (repeatable)\n"
     "      KIND: wake probe checkid register version id67 erase\n"
     "            idb versionb erasepage eraseeot update block fweot\n"
     "      ACT:  silent short badlrc lowercase nak nok noise\n"
     "            short: cut ARG1 bytes (1); nak: reason ARG1, flow state ARG2;\n"
     "            badlrc corrupts the last byte of a bootloader reply;\n"
     "            lowercase affects application replies only;\n"
     "            noise: ARG1 random bytes (1) before the reply\n"
     "      TIMES: a number (default 1) or all"},
    {"--run-mode", Takes::Nothing, 0,
     [](Options& o, const char*, long) {
       o.faults.push_back({plcsim::Kind::Probe, plcsim::Act::Nak, -1, 1, 0});
       return kGoOn;
     },
     "  --run-mode          the application is in RUN mode: it refuses every mode probe\n"
     "                      (the same as --fault probe:nak:all:1)"},
    {"--late-reply", Takes::Text, 0,
     [](Options& o, const char* v, long) {
       return parseLate(v, o.late) ? kGoOn : bad("--late-reply", v);
     },
     "  --late-reply KIND:MS  the next request of KIND takes the PLC MS ms longer: its\n"
     "                      reply comes that late; what arrives meanwhile waits its turn"},
    {"--drop", Takes::Text, 0,
     [](Options& o, const char* v, long) {
       return parseDrop(v, o.drop) ? kGoOn : bad("--drop", v);
     },
     "  --drop KIND:N[:MS]  the line goes away when the N-th request of KIND arrives:\n"
     "                      its reply is lost, the master side closes (the host's port\n"
     "                      hangs up) and --link goes; MS ms later (default 1000) a new\n"
     "                      pseudo-terminal comes up, its path printed and at --link,\n"
     "                      the PLC as it was (a USB-serial adapter pulled and put back)"},
    {"--unplug", Takes::Text, 0,
     [](Options& o, const char* v, long) {
       plcsim::Unplug u;
       if (!parseUnplug(v, u)) return bad("--unplug", v);
       o.unplugs.push_back(u);
       return kGoOn;
     },
     "  --unplug AT:FOR[:off]  the PLC's cable is pulled AT ms after plcsim starts and put\n"
     "                      back FOR ms later (repeatable): meanwhile the port stays, the\n"
     "                      PLC hears nothing and answers nothing, and what was on the\n"
     "                      wire is lost; it keeps its program and flash, as a PLC kept\n"
     "                      powered does. off: it is switched off too, and restarts when\n"
     "                      it is back (a power cycle). --unplug 0:5000: a PLC that\n"
     "                      arrives 5 s after the start"},
    {"--control", Takes::Text, 0,
     [](Options& o, const char* v, long) { return set(o.controlPath, std::string(v)); },
     "  --control FIFO      take lines from FIFO (made when it does not exist): \"unplug\",\n"
     "                      \"off\" (unplugged and switched off) and \"plug\", as --unplug does"},
    {"--no-reopen-restart", Takes::Nothing, 0,
     [](Options& o, const char*, long) { return set(o.cfg.reopenRestarts, false); },
     "  --no-reopen-restart  the host closing and reopening the port does not restart the\n"
     "                      PLC (by default it counts as the replug or power cycle): only\n"
     "                      a switch-off does (--unplug ...:off, \"off\" then \"plug\")"},
    {"--verbose", Takes::Nothing, 0,
     [](Options& o, const char*, long) { return set(o.verbose, true); },
     "  --verbose           log requests and replies on stderr"},
    {"--version", Takes::Nothing, 0,
     [](Options&, const char* next, long) {
       long v = 0;
       if (plcsim::ParseNumber(next, 0xFF, v)) {  // the loader version's old spelling
         std::fprintf(stderr,
                      "plcsim: --version takes no value; the bootloader's is --loader-version N\n");
         return 2;
       }
       std::printf("plcsim %s\n", QUARN_VERSION);
       return 0;
     },
     "  --version           print plcsim's version and exit"},
    {"--help", Takes::Nothing, 0, help, nullptr},
    {"-h", Takes::Nothing, 0, help, nullptr},
};

void usage(FILE* f) {
  std::fprintf(f,
               "usage: plcsim --model NAME [options]\n"
               "Serves a simulated PLC on a new pseudo-terminal and prints the slave's path.\n");
  for (const Option& opt : kOptions) {
    if (opt.help == nullptr) continue;
    std::fputs(opt.help, f);
    if (opt.shownDefault >= 0) std::fprintf(f, " (default %ld)", opt.shownDefault);
    std::fputc('\n', f);
  }
  std::fprintf(f, "Numbers are decimal or 0x hex.\n");
}

const Option* findOption(const char* name) {
  for (const Option& opt : kOptions)
    if (std::strcmp(name, opt.name) == 0) return &opt;
  return nullptr;
}

// Reads the options into o; returns kGoOn or the exit status.
int parseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    const Option* opt = findOption(arg);
    if (opt == nullptr) {
      std::fprintf(stderr, "plcsim: unknown option %s\n", arg);
      usage(stderr);
      return 2;
    }
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    long number = 0;
    if (opt->takes == Takes::Number && !plcsim::ParseNumber(value, opt->max, number)) {
      std::fprintf(stderr, "plcsim: %s needs a number from 0 to %ld\n", arg, opt->max);
      return 2;
    }
    if (opt->takes == Takes::Text && value == nullptr) {
      std::fprintf(stderr, "plcsim: %s needs a value\n", arg);
      return 2;
    }
    if (opt->takes != Takes::Nothing) ++i;
    const int status = opt->take(o, value, number);
    if (status != kGoOn) return status;
  }
  return kGoOn;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  o.cfg.model.clear();
  if (const int status = parseOptions(argc, argv, o); status != kGoOn) return status;
  if (quarn::findModel(o.cfg.model.c_str()) < 0) {
    std::fprintf(stderr, "plcsim: --model needs a catalogue name; one of:");
    for (int i = 0; i < quarn::kModelCount; ++i) std::fprintf(stderr, " %s", quarn::plcList[i]);
    std::fprintf(stderr, "\n");
    return 2;
  }

  // Without --pace the wire and the PLC's own work take no time.
  if (!o.pace) o.cfg.times = plcsim::Times{0, 0, 0};
  plcsim::Plc plc(o.cfg);
  for (const plcsim::Fault& f : o.faults) plc.inject(f.kind, f.act, f.times, f.arg1, f.arg2);
  plc.lateReply(o.late.kind, static_cast<uint32_t>(o.late.ms));
  return plcsim::Serve(o, plc);
}
