#include "com/critical_section.h"

CTavoGlobalCS g_tavoGlobalCS __attribute__((init_priority(102)));
