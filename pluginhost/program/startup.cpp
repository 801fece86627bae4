// Static start-up of the plug-in host: the trace library is bound before every other static object of
// the program. The global lock and the help-transfer window object follow (second priority, in their
// own files).
#include <windows.h>

#include "trace/trace.h"

namespace {

VELNORLOGInitialize g_velnorLogInitialize __attribute__((init_priority(101)));

}  // namespace
