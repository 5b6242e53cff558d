// libFuzzer's entry for one target, chosen at build time (QUARN_FUZZ_TARGET).
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzz::QUARN_FUZZ_TARGET(data, size);
}
