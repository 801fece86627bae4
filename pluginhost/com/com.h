// The host's COM layer: the singleton class objects, and what the host's classes share (identity,
// IDispatch from the embedded type library, the connection point and event firing, the instance's
// critical section, the liveness verifier). The way in for the rest of the host.
#pragma once

#include "com/class_factory.h"
#include "com/critical_section.h"
#include "com/event_proxy.h"
#include "com/tavo_object.h"
