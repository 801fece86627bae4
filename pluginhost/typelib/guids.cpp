// The one place where the type library's GUIDs (LIBID, IIDs, DIIDs, CLSIDs) are defined.
#include <windows.h>

#include <initguid.h>

#include "tavoservice.h"
