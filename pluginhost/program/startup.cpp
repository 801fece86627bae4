// Static start-up of the plug-in host: the trace library is bound before every other static object of
// the program. The global lock and the help-transfer window object follow (second priority, in their
// own files), and the crash dump handler becomes the process's unhandled-exception filter.
#include <windows.h>

#include "crash/crash_dump.h"
#include "trace/trace.h"

namespace {

VELNORLOGInitialize g_velnorLogInitialize __attribute__((init_priority(101)));
CCrashFilterInstaller g_crashFilterInstaller __attribute__((init_priority(103)));

}  // namespace
