// Effects of the host's start-up outside the process.
#pragma once

#include <windows.h>

#include "support/scoped.h"

// The companion library tavousredt.dll from the host's own folder, loaded for the whole run; its export
// isTrustCert is looked up (the host does not call it). Every failure is silent.
class CCompanionLibrary {
  public:
    CCompanionLibrary() = default;
    ~CCompanionLibrary() = default;
    CCompanionLibrary(const CCompanionLibrary&) = delete;
    CCompanionLibrary& operator=(const CCompanionLibrary&) = delete;

    void Load();
    void Free();
    bool IsLoaded() const { return m_library.valid(); }
    FARPROC TrustCheck() const { return m_isTrustCert; }

  private:
    tavo::ScopedLibrary m_library;
    FARPROC m_isTrustCert = nullptr;
};

// Lets the current user write the browser's Main and Main\FeatureControl keys under HKEY_CURRENT_USER
// and creates FeatureControl and FeatureControl\FEATURE_BROWSER_EMULATION when missing. No value is
// written; failures are ignored.
void PrepareBrowserEmulationKeys();
