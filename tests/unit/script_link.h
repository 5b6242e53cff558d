// A link whose peer is a script: the first read after each write takes the
// next scripted reply (an empty one is a time-out, which advances the virtual
// clock); later reads before the next write find nothing on its way. Each
// write may be scripted to come back short. Everything written is kept for byte-exact
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

  bool open(const quarn::Endpoint&) override {
    isOpen = true;
    return true;
  }
  void close() override { isOpen = false; }
  int write(const uint8_t* data, int n) override {
    answered = false;
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
    if (!answered && !replies.empty()) {
      r = replies.front();
      replies.pop_front();
    }
    answered = true;
    int c = static_cast<int>(r.size()) < n ? static_cast<int>(r.size()) : n;
    std::memcpy(buf, r.data(), c);
    if (c < n) nowMs += timeoutMs;
    return c;
  }
  int drainInput(uint32_t quietMs, uint32_t, uint8_t*, int) override {
    discards += quietMs == 0;
    return 0;  // a script has nothing waiting, nor anything on its way
  }
  int discards = 0;       // drains of what was waiting, without a wait
  bool answered = false;  // the last write's reply has been read
  void setTimeouts(uint32_t ms) override {
    timeoutMs = ms;
    timeouts.push_back(ms);
  }
  void setLine(const quarn::LineSettings& l) override { lines.push_back(l); }
  const quarn::LinkError& error() const override { return error_; }
  quarn::LinkError error_;
};
