// The sinks the manager calls with its asynchronous outcomes. Each turns a call into the matching event,
// fired at every client connected to the live instance of its class. Plain objects (no references): the
// instance that created a sink deletes it after telling the manager to drop it.
#pragma once

#include <windows.h>

#include "com/com.h"
#include "manager/tavo_mgr.h"
#include "tavoservice.h"

// The DISPIDs the events travel with: the clients' wire contract, which differs from the member ids of
// the type library's event dispinterfaces. Defined once, in the IDL, whose header plug-ins compile too.
namespace tavo::events {
inline constexpr DISPID kMeetingChanged = DISPID_MEETING_ONMEETINGCHANGED;
inline constexpr DISPID kMeetingSearched = DISPID_MEETING_ONMEETINGSEARCHED;
inline constexpr DISPID kInviteToMeet = DISPID_MEETING_ONINVITETOMEET;
inline constexpr DISPID kGetScheduledMeeting = DISPID_MEETING_ONGETSCHEDULEDMEETING;
inline constexpr DISPID kJoinMeetRejected = DISPID_MEETING_ONJOINMEETREJECTED;
inline constexpr DISPID kGetMeetingData = DISPID_MEETING_ONGETMEETINGDATA;
inline constexpr DISPID kMeetingGeneralCall = DISPID_MEETING_ONGENERALCALL;
inline constexpr DISPID kMeetingError = DISPID_MEETING_ONERROR;

inline constexpr DISPID kSetOpen = DISPID_SETTING_ONSETOPEN;
inline constexpr DISPID kGetSetting = DISPID_SETTING_ONGETSETTING;
inline constexpr DISPID kSetClose = DISPID_SETTING_ONSETCLOSE;
inline constexpr DISPID kSetModify = DISPID_SETTING_ONSETMODIFY;
inline constexpr DISPID kSettingError = DISPID_SETTING_ONERROR;
inline constexpr DISPID kSettingGeneralCall = DISPID_SETTING_ONGENERALCALL;

inline constexpr DISPID kUpdateComplete = DISPID_UPDATE_ONUPDATECOMPLETE;
inline constexpr DISPID kUpdateGeneralCall = DISPID_UPDATE_ONGENERALCALL;
inline constexpr DISPID kUpdateError = DISPID_UPDATE_ONERROR;
}  // namespace tavo::events

class CTavoSink_Meeting final : public ITavoSink_Meeting {
  public:
    explicit CTavoSink_Meeting(CProxy_CommonEvents* proxy) : m_proxy(proxy) {}
    void TAVO_MGR_CALL OnMeetingChanged(const wchar_t* text) override;
    void TAVO_MGR_CALL OnMeetingSearched(const wchar_t* text, unsigned long cookie) override;
    void TAVO_MGR_CALL OnInviteToMeet(const wchar_t* text, unsigned long cookie) override;
    void TAVO_MGR_CALL OnGetScheduledMeeting(const wchar_t* text, unsigned long cookie) override;
    void TAVO_MGR_CALL OnJoinMeetRejected(const wchar_t* text) override;
    void TAVO_MGR_CALL OnGetMeetingData(const wchar_t* text, unsigned long cookie) override;
    void TAVO_MGR_CALL OnGeneralCall(const wchar_t* text) override;
    void TAVO_MGR_CALL OnError(const wchar_t* text, unsigned long cookie) override;

  private:
    CProxy_CommonEvents* m_proxy;
};

class CTavoSink_Setting final : public ITavoSink_Setting {
  public:
    explicit CTavoSink_Setting(CProxy_CommonEvents* proxy) : m_proxy(proxy) {}
    void TAVO_MGR_CALL OnGetSetting(const wchar_t* text, unsigned long cookie) override;
    void TAVO_MGR_CALL OnSetClose(unsigned long cookie) override;
    void TAVO_MGR_CALL OnError(const wchar_t* text, unsigned long cookie) override;
    void TAVO_MGR_CALL OnSetModify(const wchar_t* text, unsigned long cookie) override;
    void TAVO_MGR_CALL OnGeneralCall(const wchar_t* text) override;
    void TAVO_MGR_CALL OnSetOpen(const wchar_t* text, unsigned long cookie) override;

  private:
    CProxy_CommonEvents* m_proxy;
};

class CTavoSink_Update final : public ITavoSink_Update {
  public:
    explicit CTavoSink_Update(CProxy_CommonEvents* proxy) : m_proxy(proxy) {}
    void TAVO_MGR_CALL OnUpdateComplete(unsigned long cookie) override;
    void TAVO_MGR_CALL OnGeneralCall(const wchar_t* text) override;
    void TAVO_MGR_CALL OnError(const wchar_t* text, unsigned long cookie) override;

  private:
    CProxy_CommonEvents* m_proxy;
};
