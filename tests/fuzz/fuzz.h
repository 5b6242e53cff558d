// The fuzz targets: each takes one input of outside bytes and checks what the
// code under test must never do with it. They are built with libFuzzer
// (scripts/fuzz) and, to replay the checked-in inputs, into the unit tests.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

// Replies of the application-mode operations, CheckLRC included.
int AppReplies(const uint8_t* data, size_t size);
// Replies of the bootloader operations: identity, version, one-byte answers.
int LoaderReplies(const uint8_t* data, size_t size);
// Whole sessions against the simulated PLC over a faulty line.
int Session(const uint8_t* data, size_t size);
// Port names: Linux device names and sysfs numbers, Windows friendly names,
// device paths and pipe paths.
int PortNames(const uint8_t* data, size_t size);
// quarn-burn's command line, image names and progress line.
int CommandLine(const uint8_t* data, size_t size);
// Signed images: manifests, key files and DER signatures.
int Manifest(const uint8_t* data, size_t size);

// The input read front to back; past its end every byte reads as 0.
struct Input {
  const uint8_t* p;
  size_t n;
  bool empty() const { return n == 0; }
  uint8_t byte() {
    if (n == 0) return 0;
    --n;
    return *p++;
  }
  uint16_t word() { return static_cast<uint16_t>(byte() << 8 | byte()); }
  // Up to len bytes (fewer at the end of the input).
  std::string take(size_t len) {
    if (len > n) len = n;
    std::string s(reinterpret_cast<const char*>(p), len);
    p += len;
    n -= len;
    return s;
  }
  // A chunk led by its length byte.
  std::string chunk() { return take(byte()); }
};

// The rest of the input as a scripted line (ScriptLink): up to 7 counts for
// the next writes (0xFF: the write goes out whole), then one reply per read,
// each led by its length byte.
template <class ScriptedLink>
void Script(Input& in, ScriptedLink& link) {
  for (int k = in.byte() % 8; k > 0; --k) {
    const uint8_t c = in.byte();
    link.writeCounts.push_back(c == 0xFF ? -1 : c);
  }
  while (!in.empty()) link.replies.push_back(in.chunk());
}

// The name of the input being replayed, for the report of a broken invariant.
inline const char* replaying = nullptr;

// A broken invariant is a finding: say which, then abort so that libFuzzer
// keeps the input.
[[noreturn]] inline void Broken(const char* what, const char* file, int line) {
  std::fprintf(stderr, "fuzz: invariant broken at %s:%d: %s%s%s\n", file, line, what,
               replaying ? " with input " : "", replaying ? replaying : "");
  std::abort();
}

}  // namespace fuzz

#define FUZZ_CHECK(cond)                                  \
  do {                                                    \
    if (!(cond)) fuzz::Broken(#cond, __FILE__, __LINE__); \
  } while (0)
