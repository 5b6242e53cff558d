// The rules by which the burn worker refuses a PLC that runs its application
// but is not the selected model: the type guards, which tell apart the
// variants sharing one type identifier by their registers, and the loader
// version guard of the AIO models. The read-only identify applies the same
// rules to every model.
#pragma once
#include <cstdint>

#include "catalogue/session.h"

namespace quarn {

enum class Register { D1386, D1001, D1148 };

// The firmware generation in D1001: bits 4 to 7 above 0x3F is V4.xx.
inline bool IsV4(uint16_t D1001) { return (D1001 & 0x00F0) > 0x3F; }

namespace guard {

inline const char* Generation(const SessionState& st, uint16_t D1001, const char* v4Model,
                              const char* downgrade, const char* v2Model, const char* upgrade) {
  if (IsV4(D1001)) return st.modelIs(v4Model) ? nullptr : downgrade;
  return st.modelIs(v2Model) ? nullptr : upgrade;
}

// D1148 not 0 marks the 28/26 variant, 0 the 12 variant.
inline const char* Variant(const SessionState& st, uint16_t D1148, const char* bigModel,
                           const char* notBig, const char* smallModel, const char* notSmall) {
  if (D1148 != 0) return st.modelIs(bigModel) ? nullptr : notBig;
  return st.modelIs(smallModel) ? nullptr : notSmall;
}

}  // namespace guard

// The type guard of the selected model: its refusal text, or null when it
// accepts (or the model has no type guard). read(Register) gives a register's
// value; it is asked only for the registers the guard needs, in its order.
template <class Read>
const char* TypeGuardRefusal(const SessionState& st, Read read) {
  switch (st.selectedPLCID) {
    case 0x000C: {
      const uint16_t D1386 = read(Register::D1386);
      const bool plcIsKr2C = D1386 == 0x4137 || D1386 == 0x4138;
      if (plcIsKr2C && !st.modelIs("KR2-C-V2") && !st.modelIs("KR2-C-V4"))
        return "Check PLC, KR2-MV2 is different than KR2-C";
      if (plcIsKr2C)
        return guard::Generation(st, read(Register::D1001), "KR2-C-V4",
                                 "KR2-C V4.xx CAN NOT downgrade to V2.xx / V3.xx ", "KR2-C-V2",
                                 "KR2-C V2.xx / V3.xx CAN NOT upgrade to V4.xx ");
      return guard::Generation(st, read(Register::D1001), "KR2-MV2-V4",
                               "KR2-MV2 V4.xx CAN NOT downgrade to V2.xx / V3.xx ", "KR2-MV2-V2",
                               "KR2-MV2 V2.xx / V3.xx CAN NOT upgrade to V4.xx ");
    }
    case 0x0013:
      return guard::Variant(st, read(Register::D1148), "QN28",
                            "Check PLC, 12QN2 is different than 28QN2", "QN2",
                            "Check PLC, 28QN2 is different than 12QN2");
    case 0x0015:
      return guard::Variant(st, read(Register::D1148), "GH26",
                            "Check PLC, 12GH is different than 26GH", "GH",
                            "Check PLC, 26GH is different than 12GH");
    case 0x0008:
      return guard::Generation(st, read(Register::D1001), "TJ-V4",
                               "TJ V4.xx CAN NOT downgrade to V3.xx ", "TJ-V3",
                               "TJ V3.xx CAN NOT upgrade to V4.xx ");
    case 0xA001:
      return guard::Generation(st, read(Register::D1001), "RTF-KR2-V4",
                               "RTF-KR2 V4.xx CAN NOT downgrade to V2.xx / V3.xx ", "RTF-KR2-V2",
                               "RTF-KR2 V2.xx / V3.xx CAN NOT upgrade to V4.xx ");
    default: return nullptr;  // no type guard for this identifier
  }
}

// The oldest bootloader version (0xMm) that takes the selected model's
// update; 0 when every version does.
inline uint8_t OldestLoaderTaken(const SessionState& st) {
  if (st.modelIs("VN200-AIO") || st.modelIs("TJ3-AIO")) return 0x10;
  if (st.modelIs("MV3-AIO")) return 0x12;
  return 0;
}

// The AIO bootloaders that cannot take an update, judged on VN_fu_version:
// the refusal text, or null.
inline const char* LoaderVersionRefusal(const SessionState& st) {
  const uint8_t v = st.VN_fu_version;
  if (v >= OldestLoaderTaken(st)) return nullptr;
  if (st.modelIs("VN200-AIO") || st.modelIs("TJ3-AIO")) {
    if (v <= 0x0F)
      return v == 0x09 ? "The bootloader version is V0.9, do not support AIO FW update"
                       : "The bootloader version is unknown, do not support AIO FW update";
  } else if (st.modelIs("MV3-AIO")) {
    if (v <= 0x11)
      return v == 0x10 ? "The bootloader version is V1.0, do not support AIO FW update"
                       : "The bootloader version is unknown, do not support AIO FW update";
  }
  return nullptr;
}

}  // namespace quarn
