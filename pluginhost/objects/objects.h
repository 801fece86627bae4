// The host's four classes. The way in for the rest of the host.
#pragma once

#include "objects/meeting.h"
#include "objects/setting.h"
#include "objects/telemetry.h"
#include "objects/update.h"
