// Loading system DLLs from the 32-bit system folder only, and the process-wide holders of the system DLLs
// that the session and profile code needs.
#pragma once

#include <windows.h>

// Loads `name` by full path from the 32-bit system folder (SysWOW64 on 64-bit Windows, else the system
// folder) with LOAD_WITH_ALTERED_SEARCH_PATH. Null for a null or empty name, when the folder cannot be
// read or the path would not fit in MAX_PATH characters, or when loading fails. The caller frees the module.
HMODULE LoadSystemLibraryEx(LPCWSTR name);

// Owner of one loaded module: frees it on destruction when it owns it.
class CDLLHandle {
  public:
    CDLLHandle(HMODULE module, BOOL owning) : m_hModule(module), m_bOwning(owning) {}
    virtual ~CDLLHandle();
    CDLLHandle(const CDLLHandle&) = delete;
    CDLLHandle& operator=(const CDLLHandle&) = delete;

    HMODULE Get() const { return m_hModule; }

  private:
    HMODULE m_hModule;
    BOOL m_bOwning;
};

// "advapi32.dll", "psapi.dll" and "userenv.dll", each loaded once per process (thread-safely, on first use)
// with LoadSystemLibraryEx and freed at process exit. Null when loading failed; a failed load is not
// retried.
HMODULE GetAdvapi32Module();
HMODULE GetPsapiModule();
HMODULE GetUserenvModule();
