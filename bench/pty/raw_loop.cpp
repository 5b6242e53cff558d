// The yardstick for quarn-burn's transfer over a pseudo-terminal: the least
// a host can do to move the same image into the same simulated bootloader.
// It sends the frames the updater sends for the model (one "ERASE" per page
// and EOT, "UPDATE", the numbered CRC-16 blocks, EOT), each the moment the
// previous one is acknowledged, with no retry budget, counters or progress.
// A serial model's line is 9600 7E1 up to the ACK of "UPDATE" and 115200 8N1
// from then on, as the updater leaves it.
//
//   raw_loop MODEL IMAGE PTY
//
// Prints the block phase's blocks, seconds and blocks per second.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "catalogue/catalogue.h"
#include "catalogue/session.h"
#include "loader/loader.h"

namespace {

int fd = -1;

bool Send(const uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// One reply byte within 3 s.
int Reply() {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, 3000) != 1) return -1;
  uint8_t b;
  return read(fd, &b, 1) == 1 ? b : -1;
}

bool Exchange(const void* p, size_t n) {
  return Send(static_cast<const uint8_t*>(p), n) && Reply() == quarn::ACK;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: raw_loop MODEL IMAGE PTY\n");
    return 2;
  }
  int row = quarn::findModel(argv[1]);
  std::ifstream f(argv[2], std::ios::binary);
  std::vector<uint8_t> image((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  fd = open(argv[3], O_RDWR | O_NOCTTY);
  if (row < 0 || image.empty() || fd < 0) {
    std::fprintf(stderr, "raw_loop: bad model, image or port\n");
    return 2;
  }
  const bool serial = !quarn::kProfile[row].usb;
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  if (serial) t.c_cflag = (t.c_cflag & ~CSIZE) | CS7 | PARENB;
  cfsetspeed(&t, serial ? B9600 : B115200);
  tcsetattr(fd, TCSANOW, &t);

  const uint32_t L = static_cast<uint32_t>(image.size());
  const uint8_t eot = quarn::EOT;
  for (uint16_t page = 0; page < quarn::totalPages(static_cast<uint32_t>(row), L); ++page)
    if (!Exchange("ERASE", 5)) return 1;
  if (!Exchange(&eot, 1) || !Exchange("UPDATE", 6)) return 1;
  if (serial) {
    t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB)) | CS8;
    cfsetspeed(&t, B115200);
    tcsetattr(fd, TCSANOW, &t);
  }

  const size_t D = quarn::kProfile[row].blockData;
  const int32_t blocks = quarn::totalPacket(static_cast<uint32_t>(row), L);
  uint8_t frame[261];
  auto start = std::chrono::steady_clock::now();
  for (int32_t i = 0; i < blocks; ++i) {
    const uint8_t n = static_cast<uint8_t>(i + 1);
    frame[0] = quarn::STX;
    frame[1] = n;
    frame[2] = static_cast<uint8_t>(255 - n);
    size_t from = static_cast<size_t>(i) * D;
    size_t len = std::min(D, image.size() - from);
    std::memcpy(frame + 3, image.data() + from, len);
    std::memset(frame + 3 + len, quarn::SUB, D - len);
    uint32_t crc = quarn::CRC(frame + 3, static_cast<uint32_t>(D));
    frame[3 + D] = static_cast<uint8_t>(crc >> 8);
    frame[4 + D] = static_cast<uint8_t>(crc);
    if (!Exchange(frame, D + 5)) {
      std::fprintf(stderr, "raw_loop: block %d not acknowledged\n", i);
      return 1;
    }
  }
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!Exchange(&eot, 1)) return 1;
  std::printf("blocks=%d seconds=%.4f blocks_per_s=%.0f\n", blocks, s, blocks / s);
  close(fd);
  return 0;
}
