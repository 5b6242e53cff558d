// The simulated PLC behind the link seam, on a virtual clock.
#include "simlink.h"

#include <algorithm>
#include <cstring>

#include "pacer.h"

namespace plcsim {

SimLink::SimLink(Plc& plc) : plc_(plc) {
  pending_.reserve(1024);
  arrives_.reserve(1024);
}

bool SimLink::open(const quarn::Endpoint& where) {
  ++opens;
  error_ = {};
  const bool usbPipe = where.kind == quarn::Endpoint::Kind::UsbPlc;
  if (dead || usbPipe != plc_.usb() || failOpens > 0) {
    if (!dead && usbPipe == plc_.usb()) --failOpens;
    error_.kind = quarn::LinkError::Kind::NoSuchPort;
    error_.words = "no such port";
    isOpen = false;
    return false;
  }
  const bool reopened = everOpened_;
  isOpen = true;
  everOpened_ = true;
  plc_.hostLine(line);
  if (reopened) plc_.hostReopened();
  return true;
}

void SimLink::close() {
  ++closes;
  isOpen = false;
  dropPending(pending_.size());
  plcFreeUs_ = lineFreeUs_ = 0;  // what was on its way is gone with the link
}

void SimLink::dropPending(size_t upTo) {
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(upTo));
  arrives_.erase(arrives_.begin(), arrives_.begin() + static_cast<std::ptrdiff_t>(upTo));
  pendingPos_ = 0;
}

int SimLink::write(const uint8_t* data, int n) {
  if (n < 0) n = 0;
  if (writesBeforeDeath == 0) {
    dead = true;
    isOpen = false;
    dropPending(pending_.size());
  } else if (writesBeforeDeath > 0) {
    --writesBeforeDeath;
  }
  if (dead) error_ = {quarn::LinkError::Kind::Gone, "the device went away", 0, ""};
  int written = n;
  if (!isOpen) {
    written = 0;
  } else if (shortWrites > 0 && n > 0) {
    --shortWrites;
    written = n - 1;
  }
  if (logWire)
    wire.push_back(Event{true, std::vector<uint8_t>(data, data + n), nowMs, written != n});
  if (isOpen && written == n) {
    if (corruptWrites > 0 && n > 0) {
      --corruptWrites;
      std::vector<uint8_t> garbled(data, data + n);
      garbled.back() = static_cast<uint8_t>(~garbled.back());
      plc_.receive(garbled.data(), garbled.size(), pending_);
    } else {
      plc_.receive(data, static_cast<size_t>(n), pending_);
    }
    // The PLC takes the request once it is done with the ones before; its
    // reply follows what is still on the line.
    const Plc::Busy busy = plc_.busy();
    plcFreeUs_ = std::max(plcFreeUs_, nowMs * 1000) + (plcTimes ? busy.us : busy.lateUs);
    const uint64_t charUs = plcTimes ? Pacer::charNs(line.baud) / 1000 : 0;
    lineFreeUs_ = std::max(lineFreeUs_, plcFreeUs_);
    while (arrives_.size() < pending_.size()) arrives_.push_back(lineFreeUs_ += charUs);
  }
  return written;
}

int SimLink::read(uint8_t* buf, int n) {
  int got = 0;
  if (!plc_.plugged()) dropPending(pending_.size());  // the replies went with the cable
  if (dead && n > 0) {
    nowMs += timeoutMs;
    error_ = {quarn::LinkError::Kind::Gone, "the device went away", 0, ""};
  }
  if (isOpen && n > 0) {
    // The read ends with its n-th byte, or at its time-out with what came.
    const uint64_t deadline = nowMs + timeoutMs;
    size_t end = pendingPos_;
    while (end < pending_.size() && end - pendingPos_ < static_cast<size_t>(n) &&
           arrives_[end] <= deadline * 1000)
      ++end;
    got = static_cast<int>(end - pendingPos_);
    std::memcpy(buf, pending_.data() + pendingPos_, static_cast<size_t>(got));
    pendingPos_ = end;
    nowMs = got < n ? deadline : std::max(nowMs, (arrives_[end - 1] + 999) / 1000);
    if (pendingPos_ == pending_.size()) dropPending(pending_.size());
  }
  if (logWire) wire.push_back(Event{false, std::vector<uint8_t>(buf, buf + got), nowMs, false});
  return got;
}

int SimLink::drainInput(uint32_t quietMs, uint32_t afterMs, uint8_t* kept, int keep) {
  if (quietMs > 0) return drainUntilQuiet(quietMs, afterMs, kept, keep);
  // What has arrived goes; a reply still on its way stays.
  size_t end = pendingPos_;
  while (end < pending_.size() && arrives_[end] <= nowMs * 1000) ++end;
  const int waiting = static_cast<int>(end - pendingPos_);
  dropPending(end);
  return waiting;
}

void SimLink::setTimeouts(uint32_t ms) {
  timeoutMs = ms;
  ++timeoutChanges;
}

void SimLink::setLine(const quarn::LineSettings& l) {
  line = l;
  ++lineChanges;
  plc_.hostLine(l);
}

std::vector<uint8_t> SimLink::sent() const {
  std::vector<uint8_t> all;
  for (const Event& e : wire)
    if (e.toPlc) all.insert(all.end(), e.bytes.begin(), e.bytes.end());
  return all;
}

}  // namespace plcsim
