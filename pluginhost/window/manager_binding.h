// The process-wide binding to the manager library: the manager object, the three sinks the manager calls,
// and the liveness verifiers of the live COM instances. Plain pointers, used on the main thread only.
#pragma once

#include "manager/tavo_mgr.h"

enum TavoVerifierSlot {
    kVerifierSetting,
    kVerifierMeeting,
    kVerifierUpdate,
    kVerifierTelemetry,
    kVerifierSlots
};

struct TavoManagerBinding {
    ITavoMgrObject* manager = nullptr;
    ITavoSink_Setting* settingSink = nullptr;
    ITavoSink_Meeting* meetingSink = nullptr;
    ITavoSink_Update* updateSink = nullptr;
    ITavoObjVerify* verifiers[kVerifierSlots] = {};
};

extern TavoManagerBinding g_tavoBinding;

// The manager's three interfaces, or null when no manager object exists.
inline ITavoMgr* TavoManager() { return g_tavoBinding.manager; }
inline ITavoMgr_Meeting* TavoMeetingManager() {
    return g_tavoBinding.manager ? static_cast<ITavoMgr_Meeting*>(g_tavoBinding.manager) : nullptr;
}
inline ITavoMgr_Update* TavoUpdateManager() {
    return g_tavoBinding.manager ? static_cast<ITavoMgr_Update*>(g_tavoBinding.manager) : nullptr;
}
