#include "burn/identify.h"

#include "appproto/appproto.h"
#include "burn/guards.h"
#include "loader/loader.h"

namespace quarn {
namespace {

// Whether a burn of catalogue row r would accept this PLC: the command header
// it answers, the identity rule of its mode, KR3's check of the 0x67
// identifier, the type guards on its registers and the loader version guard.
// A check that needs a read not made (outside id.known) does not refuse.
bool Fits(const Identity& id, int r) {
  SessionState model;
  model.selectModel(static_cast<uint32_t>(r));
  model.VN_fu_version = id.loaderVersion;
  if (!id.haveId || model.profile().aio != id.aio) return false;
  const bool versioned = isVersionedLoaderId(model.selectedPLCID);
  const bool versionKnown = id.known & GUARD_VERSION;
  if (id.mode == Identity::BOOTLOADER)
    return IdAccepted_B(model, id.id) &&
           !(versioned && versionKnown && (!id.haveLoaderVersion || LoaderVersionRefusal(model)));
  if (!IdAccepted_A(model.selectedPLCID, id.id)) return false;
  if (model.modelIs("KR3") && id.id67 != 0 && id.id67 != 0x0020) return false;
  if (versioned) return !versionKnown || LoaderVersionRefusal(model) == nullptr;
  bool unknown = false;
  const auto read = [&id, &unknown](Register g) {
    const GuardRead bit = g == Register::D1386   ? GUARD_D1386
                          : g == Register::D1001 ? GUARD_D1001
                                                 : GUARD_D1148;
    unknown = unknown || (id.known & bit) == 0;
    return g == Register::D1386 ? id.D1386 : g == Register::D1001 ? id.D1001 : id.D1148;
  };
  return TypeGuardRefusal(model, read) == nullptr || unknown;
}

void FindFits(Identity& id) {
  for (int r = 0; r < kModelCount; ++r)
    if (id.mode != Identity::NONE && Fits(id, r)) id.fits[id.fitCount++] = r;
}

}  // namespace

Identity Identify(SessionState& st, Link& hSerial, std::atomic<IdentifyStep>* step) {
  const auto doing = [step](IdentifyStep what) {
    if (step) *step = what;
  };
  Identity id;
  doing(IdentifyStep::Opening);
  id.opened = hSerial.open(st.endpoint());
  if (!id.opened) return id;
  doing(IdentifyStep::Waking);
  DummyComm(st, hSerial);
  const bool aio = st.profile().aio;
  for (bool form : {aio, !aio}) {
    doing(form ? IdentifyStep::ProbeAio : IdentifyStep::Probe);
    id.probe = ConfirmComm(st, hSerial, form);
    id.aio = form;
    if (id.probe != (ERR | NORESPONSE) || st.stopRequested) break;
  }

  if (id.probe == ACK) {
    id.mode = Identity::BOOTLOADER;
    doing(IdentifyStep::LoaderId);
    id.haveId = ReadID_B(st, hSerial, id.id) == OK;
    doing(IdentifyStep::LoaderVersion);
    id.haveLoaderVersion = read_fu_version_B(st, hSerial) == OK;
    if (id.haveLoaderVersion) id.loaderVersion = st.VN_fu_version;
  } else if (id.probe != (ERR | NORESPONSE)) {
    // ENQ, or a refusal (run mode, a flow error): the application answers.
    id.mode = Identity::APPLICATION;
    doing(IdentifyStep::Identity);
    for (bool form : {id.aio, !id.aio}) {
      id.haveId = ReadID_A(st, hSerial, form, id.id) == OK;
      if (id.haveId) break;
    }
    st.unansweredReads = 0;
    doing(IdentifyStep::Registers);
    id.D1386 = READ_D1386(st, hSerial);
    id.D1001 = READ_D1001(st, hSerial);
    id.D1148 = READ_D1148(st, hSerial);
    doing(IdentifyStep::LoaderVersion);
    id.loaderVersion = read_fu_version_A(st, hSerial);
    id.unanswered = st.unansweredReads;
    id.haveLoaderVersion = id.loaderVersion != 0;  // 0: none, as the guards take it
    doing(IdentifyStep::Id67);
    id.id67 = read_0x67_PLCID(st, hSerial);
  }
  hSerial.close();
  FindFits(id);
  return id;
}

Identity ReportedIdentity(const SessionState& st) {
  const PlcReport& r = st.report;
  Identity id;
  id.opened = true;
  const bool loader = r.haveId ? r.idFromLoader : r.mode == ACK;
  id.mode = loader                             ? Identity::BOOTLOADER
            : r.probeAnswered || r.mode == ENQ ? Identity::APPLICATION
                                               : Identity::NONE;
  id.aio = st.profile().aio;
  id.haveId = r.haveId;
  id.id = r.id;
  id.known = r.reads;
  id.D1386 = r.D1386;
  id.D1001 = r.D1001;
  id.D1148 = r.D1148;
  id.unanswered = st.unansweredReads;
  id.id67 = r.haveId67 ? r.id67 : 0;
  id.haveLoaderVersion = (r.reads & GUARD_VERSION) != 0;
  id.loaderVersion = r.loaderVersion;
  FindFits(id);
  return id;
}

}  // namespace quarn
