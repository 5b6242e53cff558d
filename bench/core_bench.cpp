// Core benchmarks: CRC throughput, and SendFW streaming the 2,076,672-byte
// VN300 image, against the in-process simulated PLC and against a link that
// only acknowledges (the transfer's own cost). Heap allocations are counted
// by a replaced global operator new; the transfer must make none per block.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "catalogue/catalogue.h"
#include "catalogue/session.h"
#include "loader/loader.h"
#include "plcsim.h"

namespace {
std::atomic<long> gAllocs{0};
}  // namespace

// The replacements pair malloc with free; GCC cannot see that they match.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
  gAllocs.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

constexpr uint32_t kImageSize = 2076672;
constexpr int64_t kVn300Blocks = (kImageSize - 4096) / 256;  // 8096

const std::vector<uint8_t>& Image() {
  static const std::vector<uint8_t> image = [] {
    std::vector<uint8_t> b(kImageSize);
    for (uint32_t i = 0; i < kImageSize; ++i) b[i] = static_cast<uint8_t>(i * 7 + i / 256);
    return b;
  }();
  return image;
}

void Load(quarn::SessionState& st) {
  st.selectModel(static_cast<uint32_t>(quarn::findModel("VN300")));
  st.image = st.fin = Image().data();
  st.imageSize = st.fileLength = kImageSize;
}

void BM_CRC(benchmark::State& state) {
  std::vector<uint8_t> data(static_cast<size_t>(state.range(0)));
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13);
  for (auto _ : state) {
    benchmark::DoNotOptimize(quarn::CRC(data.data(), static_cast<uint32_t>(data.size())));
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CRC)->Arg(256)->Arg(1 << 16);

// The simulated bootloader, after "UPDATE", takes the whole image.
void BM_SendFW_SimLink(benchmark::State& state) {
  long allocs = 0;
  for (auto _ : state) {
    state.PauseTiming();
    plcsim::Config cfg;
    cfg.model = "VN300";
    cfg.mode = plcsim::Mode::Boot;
    plcsim::Plc plc(cfg);
    plcsim::SimLink link(plc);
    link.logWire = false;
    link.open({quarn::Endpoint::Kind::UsbPlc, ""});
    quarn::SessionState st;
    Load(st);
    if (quarn::SendUpdate(st, link) != quarn::OK) state.SkipWithError("UPDATE refused");
    long before = gAllocs.load();
    state.ResumeTiming();
    uint8_t status = quarn::SendFW(st, link);
    state.PauseTiming();
    allocs += gAllocs.load() - before;
    if (status != quarn::OK || plc.flash().size() != kImageSize - 4096)
      state.SkipWithError("transfer failed");
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kVn300Blocks);
  state.counters["blocks/s"] = benchmark::Counter(
      static_cast<double>(state.iterations() * kVn300Blocks), benchmark::Counter::kIsRate);
  state.counters["allocs/block"] =
      static_cast<double>(allocs) / static_cast<double>(state.iterations() * kVn300Blocks);
}
BENCHMARK(BM_SendFW_SimLink)->Unit(benchmark::kMillisecond);

// A bootloader that acknowledges every frame at once: what is left is the
// transfer's own work (block build, CRC, counters).
class AckLink : public quarn::Link {
 public:
  bool open(const quarn::Endpoint&) override { return true; }
  void close() override {}
  int write(const uint8_t*, int n) override {
    ++frames;
    ++owed;
    return n;
  }
  int read(uint8_t* buf, int n) override {  // one ACK for each request
    if (n < 1 || owed == 0) return 0;
    --owed;
    buf[0] = quarn::ACK;
    return 1;
  }
  long owed = 0;
  int drainInput(uint32_t, uint32_t, uint8_t*, int) override { return 0; }
  void setTimeouts(uint32_t) override {}
  void setLine(const quarn::LineSettings&) override {}
  const quarn::LinkError& error() const override { return error_; }
  quarn::LinkError error_;
  long frames = 0;
};

void BM_SendFW_AckLink(benchmark::State& state) {
  long allocs = 0;
  AckLink link;
  for (auto _ : state) {
    quarn::SessionState st;
    Load(st);
    long before = gAllocs.load();
    uint8_t status = quarn::SendFW(st, link);
    allocs += gAllocs.load() - before;
    if (status != quarn::OK) state.SkipWithError("transfer failed");
  }
  if (link.frames != state.iterations() * (kVn300Blocks + 1)) state.SkipWithError("frame count");
  state.counters["blocks/s"] = benchmark::Counter(
      static_cast<double>(state.iterations() * kVn300Blocks), benchmark::Counter::kIsRate);
  state.counters["allocs/block"] =
      static_cast<double>(allocs) / static_cast<double>(state.iterations() * kVn300Blocks);
}
BENCHMARK(BM_SendFW_AckLink)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
