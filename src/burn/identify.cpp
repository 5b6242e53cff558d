#include "burn/identify.h"

#include "appproto/appproto.h"
#include "burn/guards.h"
#include "loader/loader.h"

namespace quarn {
namespace {

// Whether a burn of catalogue row r would accept this PLC: the command header
// it answers, the identity rule of its mode, KR3's check of the 0x67
// identifier, the type guards on its registers and the loader version guard.
bool Fits(const Identity& id, int r) {
  SessionState model;
  model.selectModel(static_cast<uint32_t>(r));
  model.VN_fu_version = id.loaderVersion;
  if (!id.haveId || model.profile().aio != id.aio) return false;
  const bool versioned = isVersionedLoaderId(model.selectedPLCID);
  if (id.mode == Identity::BOOTLOADER)
    return IdAccepted_B(model, id.id) &&
           !(versioned && (!id.haveLoaderVersion || LoaderVersionRefusal(model)));
  if (!IdAccepted_A(model.selectedPLCID, id.id)) return false;
  if (model.modelIs("KR3") && id.id67 != 0 && id.id67 != 0x0020) return false;
  if (versioned) return LoaderVersionRefusal(model) == nullptr;
  const auto read = [&id](Register g) {
    return g == Register::D1386 ? id.D1386 : g == Register::D1001 ? id.D1001 : id.D1148;
  };
  return TypeGuardRefusal(model, read) == nullptr;
}

}  // namespace

Identity Identify(SessionState& st, Link& hSerial) {
  Identity id;
  id.opened = hSerial.open(st.endpoint());
  if (!id.opened) return id;
  DummyComm(st, hSerial);
  const bool aio = st.profile().aio;
  for (bool form : {aio, !aio}) {
    id.probe = ConfirmComm(st, hSerial, form);
    id.aio = form;
    if (id.probe != (ERR | NORESPONSE) || st.stopRequested) break;
  }

  if (id.probe == ACK) {
    id.mode = Identity::BOOTLOADER;
    id.haveId = ReadID_B(st, hSerial, id.id) == OK;
    id.haveLoaderVersion = read_fu_version_B(st, hSerial) == OK;
    if (id.haveLoaderVersion) id.loaderVersion = st.VN_fu_version;
  } else if (id.probe != (ERR | NORESPONSE)) {
    // ENQ, or a refusal (run mode, a flow error): the application answers.
    id.mode = Identity::APPLICATION;
    for (bool form : {id.aio, !id.aio}) {
      id.haveId = ReadID_A(st, hSerial, form, id.id) == OK;
      if (id.haveId) break;
    }
    st.unansweredReads = 0;
    id.D1386 = READ_D1386(st, hSerial);
    id.D1001 = READ_D1001(st, hSerial);
    id.D1148 = READ_D1148(st, hSerial);
    id.loaderVersion = read_fu_version_A(st, hSerial);
    id.unanswered = st.unansweredReads;
    id.haveLoaderVersion = id.loaderVersion != 0;  // 0: none, as the guards take it
    id.id67 = read_0x67_PLCID(st, hSerial);
  }
  hSerial.close();

  for (int r = 0; r < kModelCount; ++r)
    if (id.mode != Identity::NONE && Fits(id, r)) id.fits[id.fitCount++] = r;
  return id;
}

}  // namespace quarn
