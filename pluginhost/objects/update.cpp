#include "objects/update.h"

#include "objects/forwarding.h"
#include "objects/instance_binding.h"
#include "sinks/manager_sinks.h"

using namespace tavo::host;

namespace {

void HandUpdateSink(ITavoMgr* manager, ITavoSink_Update* sink) { manager->SetUpdateSink(sink); }

}  // namespace

CUpdate::CUpdate() {
    BindInstance<CTavoSink_Update>(g_tavoBinding.updateSink, Events(), Verifier(), kVerifierUpdate,
                                   HandUpdateSink);
}

CUpdate::~CUpdate() {
    UnbindInstance<CTavoSink_Update>(g_tavoBinding.updateSink, Verifier(), kVerifierUpdate, HandUpdateSink);
}

STDMETHODIMP CUpdate::Update(BSTR request, ULONG* cookie, LONG* lRet) {
    // Like every other request with a cookie, lRet reports the manager's result once it handled the
    // request; −2 stays reserved for "no manager".
    return ForwardWithCookie(TavoUpdateManager(), request, cookie, lRet,
                             [](ITavoMgr_Update* m, const wchar_t* r, ULONG* c) { return m->Update(r, c); });
}

STDMETHODIMP CUpdate::CheckUpdate(BSTR request, VARIANT_BOOL* bRet) {
    if (!bRet) return E_POINTER;
    *bRet = Flag(false);
    ITavoMgr_Update* manager = TavoUpdateManager();
    if (!manager) return S_OK;
    RequestCopy copy(request);
    if (copy.failed()) return E_OUTOFMEMORY;
    ManagerCall inManager;
    *bRet = Flag(manager->CheckUpdate(copy.get()));
    return S_OK;
}

STDMETHODIMP CUpdate::GeneralCall(BSTR request, BSTR* outXml, LONG* lRet) {
    return ForwardWithString(
        TavoUpdateManager(), request, outXml, lRet,
        [](ITavoMgr_Update* m, const wchar_t* r, wchar_t** out) { return m->GeneralCall(r, out); });
}

STDMETHODIMP CUpdate::GetLastError(LONG* errorId) {
    if (!errorId) return E_POINTER;
    ITavoMgr_Update* manager = TavoUpdateManager();
    ManagerCall inManager;
    *errorId = manager ? manager->GetLastError() : kNoManager;
    return S_OK;
}

STDMETHODIMP CUpdate::GetVersionInfo(BSTR request, BSTR* versionInfo, LONG* lRet) {
    return ForwardWithString(
        TavoUpdateManager(), request, versionInfo, lRet,
        [](ITavoMgr_Update* m, const wchar_t* r, wchar_t** out) { return m->GetVersionInfo(r, out); });
}
