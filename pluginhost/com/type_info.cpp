#include "com/type_info.h"

#include <oleauto.h>

#include "support/scoped.h"

HRESULT LoadHostTypeInfo(const IID& iid, ITypeInfo** typeInfo) {
    if (!typeInfo) return E_POINTER;
    *typeInfo = nullptr;
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);

    tavo::ComPtr<ITypeLib> library;
    HRESULT hr = LoadTypeLibEx(path, REGKIND_NONE, library.put());
    if (FAILED(hr)) return hr;
    tavo::ComPtr<ITypeInfo> info;
    hr = library->GetTypeInfoOfGuid(iid, info.put());
    if (FAILED(hr)) return hr;

    TYPEATTR* attributes = nullptr;
    hr = info->GetTypeAttr(&attributes);
    if (FAILED(hr)) return hr;
    const bool dual = attributes->typekind == TKIND_DISPATCH && (attributes->wTypeFlags & TYPEFLAG_FDUAL);
    info->ReleaseTypeAttr(attributes);
    if (dual) {
        HREFTYPE vtableHalf = 0;
        tavo::ComPtr<ITypeInfo> interfaceInfo;
        if (SUCCEEDED(info->GetRefTypeOfImplType(-1, &vtableHalf)) &&
            SUCCEEDED(info->GetRefTypeInfo(vtableHalf, interfaceInfo.put())))
            info = std::move(interfaceInfo);
    }
    *typeInfo = info.release();
    return S_OK;
}
