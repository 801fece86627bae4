// The Meeting class: starting, joining and inviting to meetings, forwarded to the manager's meeting
// interface; the answers come back as _IMeetingEvents events through the meeting sink.
#pragma once

#include "com/com.h"
#include "tavoservice.h"

class CMeeting final : public CTavoObject<IMeeting, &IID_IMeeting, CProxy_IMeetingEvents> {
  public:
    CMeeting();
    ~CMeeting() override;

    STDMETHODIMP StartOCMeeting(BSTR bstrStartReqXml, ULONG* dwCookie, LONG* lRet) override;
    STDMETHODIMP JoinOCMeeting(BSTR bstrJoinReqXml, ULONG* dwCookie, LONG* lRet) override;
    STDMETHODIMP InviteToMeeting(BSTR bstrInviteReqXml, ULONG* dwCookie, LONG* lRet) override;
    STDMETHODIMP GetStartedMeeting(BSTR* bstrMeetingDataXML, LONG* lRet) override;
    STDMETHODIMP GetInviteUrl(BSTR bstrInviteInfoXml, BSTR* bstrInviteUrl, LONG* lRet) override;
    STDMETHODIMP StartScheduledMeeting(BSTR bstrScheduledReqXml, ULONG* dwCookie, LONG* lRet) override;
    STDMETHODIMP GeneralCall(BSTR bstrInXml, BSTR* bstrOutXml, LONG* lRet) override;
    STDMETHODIMP GetLastError(LONG* lErrorID) override;
    STDMETHODIMP CheckIfDisclaimerInProgress(LONG* lpInProgress, LONG* lRet) override;
    STDMETHODIMP CheckDisclaimerAndCloseCommunicationDlg(LONG* lRet) override;
    STDMETHODIMP CheckMeetingGoingStatus(LONG* lpGoingStatus, LONG* lRet) override;
};
