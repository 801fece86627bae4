// How an instance of Meeting, Setting or Update ties itself to the manager binding: it creates the
// process's sink of its class (pointed at its own event proxy) when there is none, hands the sink and
// its verifier to a loaded manager, and occupies its verifier slot, so that a manager loaded later gets
// both too. At its end it undoes this, telling the manager to drop the sink before the sink is deleted.
#pragma once

#include <new>

#include "com/com.h"
#include "window/window.h"

namespace tavo::host {

// `Sink` is the sink class, `sinkSlot` the binding's pointer for it, `hand` a callable giving the
// manager a sink pointer (or null) through the class's operation.
template <class Sink, class SinkInterface, class Hand>
void BindInstance(SinkInterface*& sinkSlot, CProxy_CommonEvents& events, ITavoObjVerify* verifier,
                  TavoVerifierSlot verifierSlot, Hand hand) {
    TavoManagerBinding& binding = g_tavoBinding;
    if (!sinkSlot) sinkSlot = new (std::nothrow) Sink(&events);
    if (ITavoMgr* manager = TavoManager()) {
        ManagerCall inManager;
        if (sinkSlot) hand(manager, sinkSlot);
        manager->RegisterObjVerify(verifier);
    }
    binding.verifiers[verifierSlot] = verifier;
}

template <class Sink, class SinkInterface, class Hand>
void UnbindInstance(SinkInterface*& sinkSlot, ITavoObjVerify* verifier, TavoVerifierSlot verifierSlot,
                    Hand hand) {
    TavoManagerBinding& binding = g_tavoBinding;
    binding.verifiers[verifierSlot] = nullptr;
    SinkInterface* sink = sinkSlot;
    sinkSlot = nullptr;
    if (ITavoMgr* manager = TavoManager()) {
        ManagerCall inManager;
        manager->UnregisterObjVerify(verifier);
        hand(manager, static_cast<SinkInterface*>(nullptr));
    }
    delete static_cast<Sink*>(sink);  // the binding holds only sinks of this class
}

}  // namespace tavo::host
