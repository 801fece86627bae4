#include "registry_cleanup.h"

void CleanupRegistries() {}
