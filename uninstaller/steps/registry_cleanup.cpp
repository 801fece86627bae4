#include "steps/steps.h"

void CleanupRegistries() {}
