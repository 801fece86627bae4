// The sinks the manager calls with its asynchronous outcomes. Each turns a call into the matching event,
// fired at every client connected to the live instance of its class. Plain objects (no references): the
// instance that created a sink deletes it after telling the manager to drop it.
#pragma once

#include <windows.h>

#include "com/com.h"
#include "manager/tavo_mgr.h"

// The DISPIDs the events travel with: the clients' wire contract, which differs from the member ids of
// the type library's event dispinterfaces.
namespace tavo::events {
inline constexpr DISPID kMeetingChanged = 0x60;
inline constexpr DISPID kMeetingSearched = 0x30;
inline constexpr DISPID kInviteToMeet = 0x50;
inline constexpr DISPID kGetScheduledMeeting = 0x40;
inline constexpr DISPID kJoinMeetRejected = 0x80;
inline constexpr DISPID kGetMeetingData = 0x20;
inline constexpr DISPID kMeetingGeneralCall = 0x70;
inline constexpr DISPID kMeetingError = 0x10;

inline constexpr DISPID kSetOpen = 1;
inline constexpr DISPID kGetSetting = 2;
inline constexpr DISPID kSetClose = 3;
inline constexpr DISPID kSetModify = 4;
inline constexpr DISPID kSettingError = 5;
inline constexpr DISPID kSettingGeneralCall = 6;

inline constexpr DISPID kUpdateComplete = 0x200;
inline constexpr DISPID kUpdateGeneralCall = 0x300;
inline constexpr DISPID kUpdateError = 0x100;
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
