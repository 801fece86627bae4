#include "registration/server_registration.h"

#include <oleauto.h>

#include <string>

#include "module/module.h"
#include "registration/registrar.h"
#include "registration/resource_ids.h"
#include "support/scoped.h"

namespace {

constexpr UINT kClassScripts[] = {IDR_TAVO_SETTING, IDR_TAVO_MEETING, IDR_TAVO_UPDATE, IDR_TAVO_TELEMETRY};

std::wstring ModulePath() {
    wchar_t path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(HostModule().GetModuleInstance(), path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    return std::wstring(path, length);
}

void Keep(HRESULT& first, HRESULT hr) {
    if (SUCCEEDED(first) && FAILED(hr)) first = hr;
}

// Runs one script for registration or removal with the module's replacements.
HRESULT RunScript(const std::wstring& module, UINT id, bool doRegister) {
    tavo::ComPtr<IRegistrarScripts> registrar;
    HRESULT hr =
        CoCreateInstance(kClsidRegistrar, nullptr, CLSCTX_INPROC_SERVER, kIidRegistrar, registrar.put_void());
    if (FAILED(hr)) return hr;
    std::wstring quoted = L"\"" + module + L"\"";
    if (FAILED(hr = registrar->AddReplacement(L"MODULE", quoted.c_str()))) return hr;
    if (FAILED(hr = registrar->AddReplacement(L"Module_Raw", module.c_str()))) return hr;
    if (FAILED(hr = registrar->AddReplacement(L"APPID", L""))) return hr;
    return doRegister ? registrar->ResourceRegister(module.c_str(), id, L"REGISTRY")
                      : registrar->ResourceUnregister(module.c_str(), id, L"REGISTRY");
}

HRESULT RegisterTypeLibrary(const std::wstring& module) {
    tavo::ComPtr<ITypeLib> typeLib;
    HRESULT hr = LoadTypeLibEx(module.c_str(), REGKIND_NONE, typeLib.put());
    if (FAILED(hr)) return hr;
    std::wstring path = module;
    return RegisterTypeLib(typeLib.get(), path.data(), nullptr);
}

HRESULT UnregisterTypeLibrary(const std::wstring& module) {
    tavo::ComPtr<ITypeLib> typeLib;
    HRESULT hr = LoadTypeLibEx(module.c_str(), REGKIND_NONE, typeLib.put());
    if (FAILED(hr)) return hr;
    TLIBATTR* attributes = nullptr;
    if (FAILED(hr = typeLib->GetLibAttr(&attributes))) return hr;
    TLIBATTR copy = *attributes;
    typeLib->ReleaseTLibAttr(attributes);
    return UnRegisterTypeLib(copy.guid, copy.wMajorVerNum, copy.wMinorVerNum, copy.lcid, copy.syskind);
}

}  // namespace

HRESULT RegisterHostServer() {
    std::wstring module = ModulePath();
    if (module.empty()) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    HRESULT result = RunScript(module, IDR_TAVO_APPID, true);
    for (UINT id : kClassScripts) Keep(result, RunScript(module, id, true));
    Keep(result, RegisterTypeLibrary(module));
    return result;
}

HRESULT UnregisterHostServer() {
    std::wstring module = ModulePath();
    if (module.empty()) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    HRESULT result = RunScript(module, IDR_TAVO_APPID, false);
    for (UINT id : kClassScripts) Keep(result, RunScript(module, id, false));
    Keep(result, UnregisterTypeLibrary(module));
    return result;
}
