#include "com/class_factory.h"

// No class of the host has an implementation yet: every creation is refused.
TavoCreateInstanceFn TavoClassCreator(const CLSID&) { return nullptr; }
