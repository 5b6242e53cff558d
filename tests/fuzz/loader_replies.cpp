// Bootloader replies: the identity and version (3 bytes) and the one-byte
// answers to erase, update and the firmware blocks, fed from a scripted link.
//
// Input: op, model row, image length (2 bytes), k, k scripted write counts
// (0xFF: in full), then the replies, each led by its length; past the last
// one every read times out.
#include <vector>

#include "crc16.h"
#include "fuzz.h"
#include "loader/loader.h"
#include "script_link.h"

using namespace quarn;

namespace {

bool IdFits(const SessionState& st, uint16_t id) {
  const uint16_t want = st.selectedPLCID;
  if (st.modelIs("VN200-Z")) return id == 0x3010 || id == 0xA010;
  if (st.profile().usb) return id == want;
  if (want == 0x000C) return id == 0x000C || id == 0x000D;
  return id == (want & 0x7FFF);
}

// After a transfer reported OK: the blocks written, a repeated block taken
// once, carry the bytes that must be sent in order, filled up with SUB, each
// block well numbered and with its CRC; the transfer closed with EOT.
void CheckTransfer(const SessionState& st, const ScriptLink& link,
                   const std::vector<uint8_t>& img) {
  const Profile& p = st.profile();
  const size_t D = p.blockData, sent = p.fourKPage ? img.size() - 4096 : img.size();
  std::vector<uint8_t> want(img.begin(), img.begin() + static_cast<long>(sent));
  while (want.size() % D) want.push_back(SUB);
  std::vector<uint8_t> got;
  uint8_t next = 1;
  for (const std::string& w : link.writes) {
    if (w.size() != D + 5) continue;
    const auto* b = reinterpret_cast<const uint8_t*>(w.data());
    FUZZ_CHECK(b[0] == STX && b[2] == static_cast<uint8_t>(255 - b[1]));
    FUZZ_CHECK(reference::Crc16(b + 3, D) == (b[3 + D] << 8 | b[4 + D]));
    if (b[1] == static_cast<uint8_t>(next - 1) && !got.empty()) continue;  // sent again
    FUZZ_CHECK(b[1] == next);
    got.insert(got.end(), b + 3, b + 3 + D);
    ++next;
  }
  FUZZ_CHECK(got == want);
  FUZZ_CHECK(link.writes.back() == std::string(1, EOT));
}

}  // namespace

int fuzz::LoaderReplies(const uint8_t* data, size_t size) {
  Input in{data, size};
  const int op = in.byte() % 5;
  SessionState st;
  st.selectModel(in.byte() % kModelCount);
  const uint16_t L = in.word();
  std::vector<uint8_t> img(L);
  for (size_t i = 0; i < img.size(); ++i) img[i] = static_cast<uint8_t>(i * 131 + (i >> 8));
  st.image = st.fin = img.data();
  st.imageSize = st.fileLength = L;
  ScriptLink link;
  Script(in, link);
  const std::vector<std::string> replies(link.replies.begin(), link.replies.end());

  uint8_t result = 0;
  switch (op) {
    case 0: result = CheckID_B(st, link); break;
    case 1: result = read_fu_version_B(st, link); break;
    case 2: result = SendErase_B(st, link); break;
    case 3: result = SendUpdate(st, link); break;
    default: result = SendFW(st, link); break;
  }

  const size_t writes = link.writes.size(), reads = link.readSizes.size();
  const Profile& p = st.profile();
  // At most 11 attempts per exchange: one per page or block, and the EOT.
  const size_t exchanges = op == 2 ? L / 2048 + 5 : op == 4 ? L / p.blockData + 2 : 1;
  FUZZ_CHECK(writes <= 11 * exchanges);
  FUZZ_CHECK(result == OK || result == ERR || (op == 4 && result == NOK));
  FUZZ_CHECK(st.errCounter >= 0 && st.errCounter <= 6);
  FUZZ_CHECK(st.progress >= 0 && st.progress <= 100);
  FUZZ_CHECK(st.totalErrCounter >= 0 && static_cast<size_t>(st.totalErrCounter) <= writes + reads);
  FUZZ_CHECK(st.fin >= img.data() && st.fin <= img.data() + img.size());

  if (result != OK) return 0;
  // The replies the script gave: reads that wait for more before the next
  // write (a late answer, an owed one, the quiet after the last) take none.
  const size_t taken = replies.size() - link.replies.size();
  const std::vector<std::string> read(replies.begin(), replies.begin() + static_cast<long>(taken));
  const std::string& last = read.empty() ? std::string() : read.back();
  auto at = [&](size_t i) { return static_cast<uint8_t>(i < last.size() ? last[i] : 0); };
  switch (op) {
    case 0:
      FUZZ_CHECK(at(0) == ACK && IdFits(st, static_cast<uint16_t>(at(1) << 8 | at(2))));
      break;
    case 1:
      FUZZ_CHECK(at(0) == ACK && st.VN_fu_version == static_cast<uint8_t>(at(1) << 4 | at(2) >> 4));
      break;
    case 2:
      FUZZ_CHECK(at(0) == ACK && link.writes.back() == std::string(1, EOT) && st.progress == 100);
      break;
    case 3:
      FUZZ_CHECK(at(0) == ACK && !link.lines.empty() && link.lines.back().baud == 115200);
      break;
    default:
      FUZZ_CHECK(at(0) == ACK && st.progress == 100);
      CheckTransfer(st, link, img);
      break;
  }
  return 0;
}
