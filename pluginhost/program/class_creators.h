// The host's classes and the functions that create their instances.
#pragma once

#include "com/com.h"

// The creation function of each of the host's classes; null for any other class id.
TavoCreateInstanceFn TavoClassCreator(const CLSID& clsid);
