#include "objects/meeting.h"

#include "objects/forwarding.h"
#include "objects/instance_binding.h"
#include "sinks/manager_sinks.h"

using namespace tavo::host;

namespace {

void HandMeetingSink(ITavoMgr* manager, ITavoSink_Meeting* sink) { manager->SetMeetingSink(sink); }

// A yes/no query: the answer in `flag` as 1 or 0, and lRet 0 once the manager handled it.
template <class Call>
HRESULT AskFlag(LONG* flag, LONG* lRet, Call call) {
    if (!flag || !lRet) return E_POINTER;
    *lRet = kNoManager;
    ITavoMgr_Meeting* manager = TavoMeetingManager();
    if (!manager) return S_OK;
    ManagerCall inManager;
    *flag = call(manager) ? 1 : 0;
    *lRet = 0;
    return S_OK;
}

}  // namespace

CMeeting::CMeeting() {
    BindInstance<CTavoSink_Meeting>(g_tavoBinding.meetingSink, Events(), Verifier(), kVerifierMeeting,
                                    HandMeetingSink);
}

CMeeting::~CMeeting() {
    UnbindInstance<CTavoSink_Meeting>(g_tavoBinding.meetingSink, Verifier(), kVerifierMeeting,
                                      HandMeetingSink);
}

STDMETHODIMP CMeeting::StartOCMeeting(BSTR request, ULONG* cookie, LONG* lRet) {
    return ForwardWithCookie(
        TavoMeetingManager(), request, cookie, lRet,
        [](ITavoMgr_Meeting* m, const wchar_t* r, ULONG* c) { return m->StartOCMeeting(r, c); });
}

STDMETHODIMP CMeeting::JoinOCMeeting(BSTR request, ULONG* cookie, LONG* lRet) {
    return ForwardWithCookie(
        TavoMeetingManager(), request, cookie, lRet,
        [](ITavoMgr_Meeting* m, const wchar_t* r, ULONG* c) { return m->JoinOCMeeting(r, c); });
}

STDMETHODIMP CMeeting::InviteToMeeting(BSTR request, ULONG* cookie, LONG* lRet) {
    return ForwardWithCookie(
        TavoMeetingManager(), request, cookie, lRet,
        [](ITavoMgr_Meeting* m, const wchar_t* r, ULONG* c) { return m->InviteToMeeting(r, c); });
}

STDMETHODIMP CMeeting::GetStartedMeeting(BSTR* meetingData, LONG* lRet) {
    return ForwardWithString(
        TavoMeetingManager(), nullptr, meetingData, lRet,
        [](ITavoMgr_Meeting* m, const wchar_t*, wchar_t** out) { return m->GetStartedMeeting(out); });
}

STDMETHODIMP CMeeting::GetInviteUrl(BSTR request, BSTR* inviteUrl, LONG* lRet) {
    return ForwardWithString(
        TavoMeetingManager(), request, inviteUrl, lRet,
        [](ITavoMgr_Meeting* m, const wchar_t* r, wchar_t** out) { return m->GetInviteUrl(r, out); });
}

STDMETHODIMP CMeeting::StartScheduledMeeting(BSTR request, ULONG* cookie, LONG* lRet) {
    return ForwardWithCookie(
        TavoMeetingManager(), request, cookie, lRet,
        [](ITavoMgr_Meeting* m, const wchar_t* r, ULONG* c) { return m->StartScheduledMeeting(r, c); });
}

STDMETHODIMP CMeeting::GeneralCall(BSTR request, BSTR* outXml, LONG* lRet) {
    return ForwardWithString(
        TavoMeetingManager(), request, outXml, lRet,
        [](ITavoMgr_Meeting* m, const wchar_t* r, wchar_t** out) { return m->GeneralCall(r, out); });
}

STDMETHODIMP CMeeting::GetLastError(LONG* errorId) {
    if (!errorId) return E_POINTER;
    ITavoMgr_Meeting* manager = TavoMeetingManager();
    ManagerCall inManager;
    *errorId = manager ? manager->GetLastError() : kNoManager;
    return S_OK;
}

STDMETHODIMP CMeeting::CheckIfDisclaimerInProgress(LONG* inProgress, LONG* lRet) {
    return AskFlag(inProgress, lRet, [](ITavoMgr_Meeting* m) { return m->CheckIfDisclaimerInProgress(); });
}

STDMETHODIMP CMeeting::CheckDisclaimerAndCloseCommunicationDlg(LONG* lRet) {
    if (!lRet) return E_POINTER;
    *lRet = kNoManager;
    // The manager's answer is reported, as by every other method whose manager operation returns a
    // result: −2 stays reserved for "no manager".
    if (ITavoMgr_Meeting* manager = TavoMeetingManager()) {
        ManagerCall inManager;
        *lRet = manager->CheckDisclaimerAndCloseCommunicationDlg();
    }
    return S_OK;
}

STDMETHODIMP CMeeting::CheckMeetingGoingStatus(LONG* goingStatus, LONG* lRet) {
    return AskFlag(goingStatus, lRet, [](ITavoMgr_Meeting* m) { return m->CheckMeetingGoingStatus(); });
}
