// The hidden help-transfer window and the process-wide binding to the manager library it loads. The way
// in for the rest of the host.
#pragma once

#include "window/help_transfer_wnd.h"
#include "window/manager_binding.h"
