// The server module: its lock count and shutdown monitor, its command line, the files beside the
// executable and the start-up's effects outside the process. The way in for the rest of the host.
#pragma once

#include "module/command_line.h"
#include "module/exe_module.h"
#include "module/host_paths.h"
#include "module/startup_effects.h"
