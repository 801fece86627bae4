// TavoRemover: removes the Tavo Suite from the machine.
#include <windows.h>

#include "stages/stages.h"

int wmain(int argc, wchar_t* argv[]) { return RunRemover(argc, argv); }
