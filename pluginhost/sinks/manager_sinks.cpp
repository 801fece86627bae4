#include "sinks/manager_sinks.h"

using namespace tavo::events;

// The manager's text stays the manager's: the proxy fires a copy of it and frees that copy. Each call is
// counted as a call of the manager's in progress while its events go out.

void CTavoSink_Meeting::OnMeetingChanged(const wchar_t* text) {
    if (tavo::host::ManagerCall fromManager; m_proxy) m_proxy->FireText(kMeetingChanged, text);
}
void CTavoSink_Meeting::OnMeetingSearched(const wchar_t* text, unsigned long cookie) {
    if (tavo::host::ManagerCall fromManager; m_proxy) m_proxy->FireText(kMeetingSearched, text, true, cookie);
}
void CTavoSink_Meeting::OnInviteToMeet(const wchar_t* text, unsigned long cookie) {
    if (tavo::host::ManagerCall fromManager; m_proxy) m_proxy->FireText(kInviteToMeet, text, true, cookie);
}
void CTavoSink_Meeting::OnGetScheduledMeeting(const wchar_t* text, unsigned long cookie) {
    if (tavo::host::ManagerCall fromManager; m_proxy)
        m_proxy->FireText(kGetScheduledMeeting, text, true, cookie);
}
void CTavoSink_Meeting::OnJoinMeetRejected(const wchar_t* text) {
    if (tavo::host::ManagerCall fromManager; m_proxy) m_proxy->FireText(kJoinMeetRejected, text);
}
void CTavoSink_Meeting::OnGetMeetingData(const wchar_t* text, unsigned long cookie) {
    if (tavo::host::ManagerCall fromManager; m_proxy) m_proxy->FireText(kGetMeetingData, text, true, cookie);
}
void CTavoSink_Meeting::OnGeneralCall(const wchar_t* text) {
    if (tavo::host::ManagerCall fromManager; m_proxy) m_proxy->FireText(kMeetingGeneralCall, text);
}
void CTavoSink_Meeting::OnError(const wchar_t* text, unsigned long cookie) {
    if (tavo::host::ManagerCall fromManager; m_proxy) m_proxy->FireText(kMeetingError, text, true, cookie);
}

void CTavoSink_Setting::OnGetSetting(const wchar_t* text, unsigned long cookie) {
    if (tavo::host::ManagerCall fromManager; m_proxy) m_proxy->FireText(kGetSetting, text, true, cookie);
}
void CTavoSink_Setting::OnSetClose(unsigned long cookie) {
    if (tavo::host::ManagerCall fromManager; m_proxy) m_proxy->FireCookie(kSetClose, cookie);
}
void CTavoSink_Setting::OnError(const wchar_t* text, unsigned long cookie) {
    if (tavo::host::ManagerCall fromManager; m_proxy) m_proxy->FireText(kSettingError, text, true, cookie);
}
void CTavoSink_Setting::OnSetModify(const wchar_t* text, unsigned long cookie) {
    if (tavo::host::ManagerCall fromManager; m_proxy) m_proxy->FireText(kSetModify, text, true, cookie);
}
void CTavoSink_Setting::OnGeneralCall(const wchar_t* text) {
    if (tavo::host::ManagerCall fromManager; m_proxy) m_proxy->FireText(kSettingGeneralCall, text);
}
void CTavoSink_Setting::OnSetOpen(const wchar_t* text, unsigned long cookie) {
    if (tavo::host::ManagerCall fromManager; m_proxy) m_proxy->FireText(kSetOpen, text, true, cookie);
}

void CTavoSink_Update::OnUpdateComplete(unsigned long cookie) {
    if (tavo::host::ManagerCall fromManager; m_proxy) m_proxy->FireCookie(kUpdateComplete, cookie);
}
void CTavoSink_Update::OnGeneralCall(const wchar_t* text) {
    if (tavo::host::ManagerCall fromManager; m_proxy) m_proxy->FireText(kUpdateGeneralCall, text);
}
void CTavoSink_Update::OnError(const wchar_t* text, unsigned long cookie) {
    if (tavo::host::ManagerCall fromManager; m_proxy) m_proxy->FireText(kUpdateError, text, true, cookie);
}
