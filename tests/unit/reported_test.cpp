// What quarn-burn says beside a refusal: a PLC of one model played by
// plcsim, an image of another, on the virtual clock. The system's message
// stays its own; the line after it names what the PLC reported.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "burn/burn.h"
#include "plcsim.h"
#include "ui/cli/reported.h"

using namespace quarn;

namespace {

struct QuietOperator : Operator {
  plcsim::SimLink& link;
  explicit QuietOperator(plcsim::SimLink& l) : link(l) {}
  bool prompt(Prompt, const char*, const char*) override { return true; }
  void outcome(const Outcome&) override {}
  void sleepSeconds(unsigned s) override { link.nowMs += 1000ull * s; }
};

plcsim::Config Plc(const char* model, plcsim::Mode mode = plcsim::Mode::App, int bootId = -1,
                   int id67 = -1, uint8_t loaderVersion = 0x20) {
  plcsim::Config c;
  c.model = model;
  c.mode = mode;
  c.bootId = bootId;
  c.id67 = id67;
  c.loaderVersion = loaderVersion;
  return c;
}

// A pseudo-terminal that a USB model's session opens as its pipe, with a
// serial PLC behind it.
struct AnyLink : plcsim::SimLink {
  bool usb;
  explicit AnyLink(plcsim::Plc& plc) : SimLink(plc), usb(plc.usb()) {}
  bool open(const quarn::Endpoint& where) override {
    using K = quarn::Endpoint::Kind;
    return SimLink::open({usb ? K::UsbPlc : K::SerialPort, where.name});
  }
};

}  // namespace

TEST(ReportedLine, NamesWhatThePlcReportedAndWhatTheImageNeeds) {
  struct Case {
    plcsim::Config plc;
    const char* image;  // the image's model
    uint32_t size;
    const char* message;
    const char* line;  // "" for none
  };
  using plcsim::Mode;
  const Case cases[] = {
      {Plc("QN2"), "TB2", 4096, "NO RESPONSE @ State 2",
       "the PLC reports type 0x0013: a QN2 or a QN28; the image is for TB2"},
      {Plc("TB2"), "VN300", 3 * 4096 + 1, "NO RESPONSE @ State 1",
       "no reply to the mode probe on the PLC's USB device, opened as the USB pipe of a VN300, the "
       "image's "
       "model; quarn-burn --identify --port USB looks at what is there"},
      {Plc("KR2-MV2-V2"), "KR2-C-V2", 4096, "KR2-MV2 V2.xx / V3.xx CAN NOT upgrade to V4.xx ",
       "the PLC reports type 0x000C, D1386 0x0000, D1001 0x0020 (V2.xx / V3.xx): a KR2-MV2-V2; "
       "the image is for KR2-C-V2"},
      {Plc("KR2-C-V4"), "KR2-MV2-V2", 4096, "Check PLC, KR2-MV2 is different than KR2-C",
       "the PLC reports type 0x000C, D1386 0x4137: a KR2-C-V2 or a KR2-C-V4; the image is for "
       "KR2-MV2-V2"},
      {Plc("QN28"), "QN2", 4096, "Check PLC, 12QN2 is different than 28QN2",
       "the PLC reports type 0x0013, D1148 0x001C: a QN28; the image is for QN2"},
      {Plc("GH-H", Mode::Boot, 0x2002), "GH-H", 4096, "PLC type is WRONG",
       "the PLC's bootloader reports type 0x2002: no model quarn-burn knows; the image is for "
       "GH-H"},
      {Plc("VN200-AIO", Mode::App, -1, -1, 0x09), "VN200-AIO", 4096,
       "The bootloader version is V0.9, do not support AIO FW update",
       "the PLC's bootloader is V0.9 (0x09); the image is for VN200-AIO, which needs V1.0 or "
       "later"},
      {Plc("MV3-AIO", Mode::Boot, -1, -1, 0x11), "MV3-AIO", 4096,
       "The bootloader version is unknown, do not support AIO FW update",
       "the PLC's bootloader is V1.1 (0x11); the image is for MV3-AIO, which needs V1.2 or "
       "later"},
      {Plc("KR3", Mode::App, -1, 0x0022), "KR3", 3 * 4096, "PLC type is WRONG",
       "the PLC reports type 0x0022 to function 0x67; the image is for KR3, which reports 0x0020"},
      {Plc("30MV2-AIO"), "30MV2-AIO", 16384, "The file size EXCEEDS the MAXIMUM size (4 * 1024)",
       "the image has 16,384 bytes; a 30MV2-AIO takes at most 12,288 bytes"},
      {Plc("VN300"), "VN300", 1000, "The file size is BELOW the MINIMUM size (4 * 1024)",
       "the image has 1,000 bytes; a VN300 takes at least 4,096 bytes"},
      {Plc("TB2"), "TB2", 4096, "Firmware update is SUCCESSFUL", ""},  // nothing to add
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.plc.model + " PLC, " + c.image + " image");
    plcsim::Plc plc(c.plc);
    AnyLink link(plc);
    link.logWire = false;
    QuietOperator op(link);
    SessionState st;
    st.selectModel(static_cast<uint32_t>(findModel(c.image)));
    st.setComPort(st.profile().usb ? "USB" : "COM3");
    st.bootSwitchLimit = 3;
    const std::vector<uint8_t> image(c.size, 0x5A);
    const Outcome out = StartBurn(st, link, op, image.data(), c.size);
    EXPECT_STREQ(out.text, c.message);
    const std::string line = cli::ReportedLine(st, c.size);
    EXPECT_EQ(line, *c.line ? std::string("quarn-burn: ") + c.line + "\n" : "");
  }
}

TEST(ReportedLine, RefusalsOfTheApplicationNameTheirReasonAndState) {
  struct Case {
    plcsim::Kind kind;
    uint8_t reason, state;
    const char* line;
  };
  using plcsim::Kind;
  const Case cases[] = {
      {Kind::Probe, 0x01, 0,
       "the PLC reports it is in RUN mode; the image can be written only to "
       "a PLC in STOP mode"},
      {Kind::Probe, 0x02, 0x01,
       "the PLC refused the mode probe (reason 0x02, flow state 0x01); "
       "the image is for DW3"},
      {Kind::CheckId, 0x03, 0,
       "the PLC refused the identity request (reason 0x03, flow state "
       "0x00); the image is for DW3"},
      {Kind::Erase, 0x02, 0x04,
       "the PLC refused the enter-update request (reason 0x02, flow "
       "state 0x04); the image is for DW3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    plcsim::Plc plc(Plc("DW3"));
    plc.inject(c.kind, plcsim::Act::Nak, -1, c.reason, c.state);
    plcsim::SimLink link(plc);
    QuietOperator op(link);
    SessionState st;
    st.selectModel(static_cast<uint32_t>(findModel("DW3")));
    st.setComPort("COM3");
    const std::vector<uint8_t> image(4096, 0x5A);
    EXPECT_FALSE(StartBurn(st, link, op, image.data(), 4096).success);
    EXPECT_EQ(cli::ReportedLine(st, 4096), std::string("quarn-burn: ") + c.line + "\n");
  }
}
