// The type information of the host's dual interfaces, read from the type library embedded in the host
// executable (no registration needed).
#pragma once

#include <windows.h>
#include <oaidl.h>

// The vtable half of a dual interface's type information (what ITypeInfo::Invoke needs to call the
// interface's methods), or the interface's own when it is not dual.
HRESULT LoadHostTypeInfo(const IID& iid, ITypeInfo** typeInfo);
