// A link whose peer is a script: each read takes the next scripted reply (an
// empty one is a time-out, which advances the virtual clock), each write may
// be scripted to come back short. Everything written is kept for byte-exact
// comparisons.
#pragma once
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "link/link.h"

class ScriptLink : public quarn::Link {
 public:
  std::deque<std::string> replies;  // one per read; "" = nothing arrives
  std::deque<int> writeCounts;      // scripted counts for the next writes (-1: in full)
  std::vector<std::string> writes;  // every write, as the host sent it
  std::vector<int> readSizes;       // the size each read asked for
  uint64_t nowMs = 0;
  uint32_t timeoutMs = 0;
  std::vector<quarn::LineSettings> lines;  // every setLine
  std::vector<uint32_t> timeouts;          // every setTimeouts
  bool isOpen = true;

  bool open(bool, const char*) override { isOpen = true; return true; }
  void close() override { isOpen = false; }
  int write(const uint8_t* data, int n) override {
    writes.emplace_back(reinterpret_cast<const char*>(data), n);
    if (!writeCounts.empty()) {
      int c = writeCounts.front();
      writeCounts.pop_front();
      if (c >= 0) return c;
    }
    return n;
  }
  int read(uint8_t* buf, int n) override {
    readSizes.push_back(n);
    std::string r;
    if (!replies.empty()) { r = replies.front(); replies.pop_front(); }
    int c = static_cast<int>(r.size()) < n ? static_cast<int>(r.size()) : n;
    std::memcpy(buf, r.data(), c);
    if (c < n) nowMs += timeoutMs;
    return c;
  }
  void discardInput() override { ++discards; }  // a script has nothing waiting
  int discards = 0;
  void drainInput(uint32_t, uint32_t, int) override {}  // nor anything on its way
  void setTimeouts(uint32_t ms) override { timeoutMs = ms; timeouts.push_back(ms); }
  void setLine(const quarn::LineSettings& l) override { lines.push_back(l); }
};
