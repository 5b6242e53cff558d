// The simulated PLC in time: the wire's and the PLC's own pace.
#include "pacer.h"

#include <algorithm>

namespace plcsim {

uint64_t Pacer::charNs(uint32_t baud) {
  return baud == 0 ? 0 : (10'000'000'000ull + baud / 2) / baud;
}

Pacer::Pacer(Plc& plc) : plc_(plc) { reply_.reserve(64); }

void Pacer::fromHost(const uint8_t* data, size_t n, uint64_t now, const Line& line) {
  const uint64_t start = std::max(now, rxFree_);
  for (size_t i = 0; i < n; ++i)
    rx_.push_back(Timed{data[i], start + (i + 1) * line.charNs + line.transferNs, line});
  rxFree_ = start + n * line.charNs;
}

void Pacer::run(uint64_t now, std::vector<uint8_t>& toHost) {
  // Each byte reaches the PLC on its own, so a reply is timed from the last
  // byte of its request.
  while (!rx_.empty()) {
    const Timed b = rx_.front();
    if (b.at < deafUntil_) {  // the PLC is restarting: the byte is lost
      rx_.pop_front();
      continue;
    }
    const uint64_t t = std::max(b.at, busyUntil_);
    if (t > now) break;
    rx_.pop_front();
    reply_.clear();
    plc_.receive(&b.byte, 1, reply_);
    const Plc::Busy busy = plc_.busy();
    const uint64_t ready = t + uint64_t{busy.us} * 1000;
    (busy.restart ? deafUntil_ : busyUntil_) = ready;
    if (reply_.empty()) continue;
    const uint64_t start = std::max(ready, txFree_);
    for (size_t k = 0; k < reply_.size(); ++k)
      tx_.push_back(Timed{reply_[k], start + (k + 1) * b.line.charNs + b.line.transferNs, b.line});
    txFree_ = start + reply_.size() * b.line.charNs;
  }
  while (!tx_.empty() && tx_.front().at <= now) {
    toHost.push_back(tx_.front().byte);
    tx_.pop_front();
  }
}

uint64_t Pacer::next() const {
  uint64_t t = UINT64_MAX;
  // The bytes from the host are taken together once the last of them has
  // arrived: a host that waits for each reply sends nothing after the end
  // of its request, and a server that wakes for every character would load
  // the machine it measures.
  if (!rx_.empty()) t = std::max(rx_.back().at, busyUntil_);
  if (!tx_.empty()) t = std::min(t, tx_.front().at);
  return t;
}

uint64_t Pacer::nextReply() const { return tx_.empty() ? UINT64_MAX : tx_.front().at; }

void Pacer::reconnected() {
  rx_.clear();
  tx_.clear();
}

}  // namespace plcsim
