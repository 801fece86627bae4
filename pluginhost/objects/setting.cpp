#include "objects/setting.h"

#include "objects/forwarding.h"
#include "objects/instance_binding.h"
#include "sinks/manager_sinks.h"

using namespace tavo::host;

namespace {

void HandSettingSink(ITavoMgr* manager, ITavoSink_Setting* sink) { manager->SetSettingSink(sink); }

// The process-control methods answer −1, not −2, when there is no manager.
constexpr LONG kNoManagerForControl = -1;

template <class Call>
HRESULT AskFlag(VARIANT_BOOL* flag, Call call) {
    if (!flag) return E_POINTER;
    ITavoMgr* manager = TavoManager();
    ManagerCall inManager;
    *flag = manager ? Flag(call(manager)) : Flag(false);
    return S_OK;
}

template <class Call>
HRESULT AskResult(LONG* lRet, LONG noManager, Call call) {
    if (!lRet) return E_POINTER;
    ITavoMgr* manager = TavoManager();
    ManagerCall inManager;
    *lRet = manager ? call(manager) : noManager;
    return S_OK;
}

}  // namespace

CSetting::CSetting() {
    BindInstance<CTavoSink_Setting>(g_tavoBinding.settingSink, Events(), Verifier(), kVerifierSetting,
                                    HandSettingSink);
}

CSetting::~CSetting() {
    UnbindInstance<CTavoSink_Setting>(g_tavoBinding.settingSink, Verifier(), kVerifierSetting,
                                      HandSettingSink);
}

STDMETHODIMP CSetting::OpenSettingDlg(BSTR request, ULONG* cookie, LONG* lRet) {
    return ForwardWithCookie(TavoManager(), request, cookie, lRet,
                             [](ITavoMgr* m, const wchar_t* r, ULONG* c) { return m->OpenSettingDlg(r, c); });
}

STDMETHODIMP CSetting::CloseSettingDlg(ULONG* cookie, LONG* lRet) {
    if (!cookie) return E_POINTER;
    return AskResult(lRet, kNoManager, [cookie](ITavoMgr* m) { return m->CloseSettingDlg(cookie); });
}

STDMETHODIMP CSetting::GetSetting(BSTR request, ULONG* cookie, LONG* lRet) {
    return ForwardWithCookie(TavoManager(), request, cookie, lRet,
                             [](ITavoMgr* m, const wchar_t* r, ULONG* c) { return m->GetSetting(r, c); });
}

STDMETHODIMP CSetting::HasValidAccount(VARIANT_BOOL* bRet) {
    return AskFlag(bRet, [](ITavoMgr* m) { return m->HasValidAccount(); });
}

STDMETHODIMP CSetting::GetAccountInfo(BSTR* accountXml, LONG* lRet) {
    if (!accountXml || !lRet) return E_POINTER;
    *lRet = kNoManager;
    ITavoMgr* manager = TavoManager();
    if (!manager) return S_OK;
    wchar_t* returned = nullptr;
    {
        ManagerCall inManager;
        *lRet = manager->GetAccountInfo(&returned);
    }
    // With a non-zero result the manager hands out no buffer: nothing is read or freed.
    if (*lRet != 0) return S_OK;
    ManagerString answer;
    *answer.put() = returned;
    if (!answer.get()) {
        *accountXml = nullptr;  // no account text: a null string, unlike GeneralCall's empty one
        return S_OK;
    }
    *accountXml = SysAllocString(answer.get());
    return *accountXml ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CSetting::IsSettingDlgOpened(VARIANT_BOOL* bRet) {
    return AskFlag(bRet, [](ITavoMgr* m) { return m->IsSettingDlgOpened(); });
}

STDMETHODIMP CSetting::GetLastError(LONG* errorId) {
    return AskResult(errorId, kNoManager, [](ITavoMgr* m) { return m->GetLastError(); });
}

STDMETHODIMP CSetting::GeneralCall(BSTR request, BSTR* outXml, LONG* lRet) {
    return ForwardWithString(
        TavoManager(), request, outXml, lRet,
        [](ITavoMgr* m, const wchar_t* r, wchar_t** out) { return m->GeneralCall(r, out); });
}

STDMETHODIMP CSetting::Logout(LONG* lRet) {
    return AskResult(lRet, kNoManagerForControl, [](ITavoMgr* m) { return m->Logout(); });
}

STDMETHODIMP CSetting::ClearAccout(LONG* lRet) {
    return AskResult(lRet, kNoManagerForControl, [](ITavoMgr* m) { return m->ClearAccout(); });
}

STDMETHODIMP CSetting::KillTavoProcess(VARIANT_BOOL* lRet) {
    return AskFlag(lRet, [](ITavoMgr* m) { return m->KillTavoProcess(); });
}

STDMETHODIMP CSetting::StartOCProcess(LONG* lRet) {
    return AskResult(lRet, kNoManagerForControl, [](ITavoMgr* m) { return m->StartOCProcess(); });
}

STDMETHODIMP CSetting::CheckUpdateProcess(VARIANT_BOOL* lRet) {
    return AskFlag(lRet, [](ITavoMgr* m) { return m->CheckUpdateProcess(); });
}
