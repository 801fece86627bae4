// A function of a module looked up by name, typed.
#pragma once

#include <windows.h>

namespace tavo {

template <class Function>
Function ProcAddress(HMODULE module, const char* name) {
    if (!module) return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace tavo
