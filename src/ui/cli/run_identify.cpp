// --identify: what the PLC on one port says about itself, changing nothing.
#include <cstdio>
#include <memory>

#include "burn/identify.h"
#include "catalogue/catalogue.h"
#include "link/portname.h"
#include "ui/cli/interrupts.h"
#include "ui/cli/link_failure.h"
#include "ui/cli/links.h"
#include "ui/cli/ports.h"
#include "ui/cli/report.h"
#include "ui/cli/run.h"
#include "ui/cli/terminal.h"
#include "ui/cli/trace.h"

namespace quarn::cli {

int RunIdentify(const Options& o, int imageRow, const sign::Verdict* signature) {
  // The port opens as a burn of the image's model would open it; with no
  // image, "usb:..." and "USB" are the USB PLC and any other name a serial
  // port. Both command headers are probed whatever the row.
  const bool usbPort = o.havePort && (IsUsbPortName(o.port) || o.port == "USB");
  int row = imageRow;
  for (int r = 0; row < 0 && r < kModelCount; ++r)
    if (kProfile[r].usb == usbPort && !kProfile[r].aio) row = r;
  SessionState st;
  st.selectModel(static_cast<uint32_t>(row));
  std::string note;
  const std::vector<PortInfo> serial = o.havePort ? std::vector<PortInfo>{} : PresentSerialPorts();
  std::string why = ChoosePort(o.havePort ? &o.port : nullptr, row, serial, st, note);
  if (!why.empty()) return Usage(why);
  std::fputs(note.c_str(), stderr);
  std::unique_ptr<Link> link = MakeLink();
  Trace trace;
  std::unique_ptr<TraceLink> traced;
  why = trace.open(o.trace);
  if (!why.empty()) return Usage(why);
  if (!o.trace.empty()) traced = std::make_unique<TraceLink>(*link, trace, st, "");
  const std::string port = PortLabel(st);
  ArmStops({&st}, [](const char*) {
    if (Writable(stderr)) std::fprintf(stderr, "%s\n", kUntouched);
    return 130;
  });
  std::fprintf(stderr, "looking at the PLC on %s, changing nothing\n", Printable(port).c_str());
  const Identity id = Identify(st, traced ? static_cast<Link&>(*traced) : *link);
  DisarmStops();
  int status = 1;
  if (st.stopRequested) {
    std::fprintf(stderr, "%s\n", kUntouched);
    status = 130;
  } else if (!id.opened) {
    std::fprintf(stderr, "cannot open %s\n", Printable(port).c_str());
  } else if (id.mode == Identity::NONE) {
    std::fprintf(stderr, "no PLC answered on %s\n", Printable(port).c_str());
    if (st.modbusException) std::fputs(ModbusLine(st).c_str(), stderr);
  } else {
    const std::string text = o.json ? IdentityJson(id, port, imageRow, signature)
                                    : DescribeIdentity(id, Printable(port), imageRow, signature);
    std::fputs(text.c_str(), stdout);
    status = 0;
  }
  const std::string lost = trace.close();
  if (lost.empty()) return status;
  std::fprintf(stderr, "%s\n", lost.c_str());
  return status == 0 ? 1 : status;
}

}  // namespace quarn::cli
