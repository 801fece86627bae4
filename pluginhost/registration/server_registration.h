// Registration of the host as a COM local server: the AppID and the four classes (registrar scripts in
// the executable's resources) and the type library (type-library resource 1).
#pragma once

#include <windows.h>

// Both give the first failing HRESULT, or S_OK. The steps after a failure still run, so that a partly
// broken registration is completed or removed as far as it can be.
HRESULT RegisterHostServer();
HRESULT UnregisterHostServer();
