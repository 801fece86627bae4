// A native plug-in of Tavo Suite, as small as it can be: it creates the plug-in host's Meeting and
// Setting classes, connects an event sink to each, sends one request to each and prints the event that
// answers it, then disconnects and lets go of everything.
//
//   tavo_plugin_sample.exe [seconds]      how long to wait for each answer (default 10)
//
// Exit code: 0 when both answers arrived; 1 when COM or the host's classes are not available (not
// registered, or the host could not start: it exits at once when it finds no manager library) or a call
// failed in COM (the host went away); 2 when the host runs without its manager (lRet -2: no request was
// made, no answer will come); 3 when the manager refused a request (another lRet than 0); 4 when an
// answer did not come in time.
//
// Build (one source file, the kit's header beside it in include/):
//   i686-w64-mingw32-g++ -std=c++20 -municode -static -Iinclude plugin_sample.cpp -lole32 -loleaut32 -luuid
//   x86_64-w64-mingw32-g++ (the same arguments) for the 64-bit plug-in
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
#include <wrl/client.h>

#include <initguid.h>  // this one source file defines the kit's GUIDs

#include "tavoservice.h"

#include <cstdio>
#include <cwchar>
#include <set>
#include <string>

using Microsoft::WRL::ComPtr;

namespace {

// ---------------------------------------------------------------- printing

std::string Utf8(const wchar_t* text, int length = -1) {
    if (!text) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return {};
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, result.data(), size, nullptr, nullptr);
    if (length < 0) result.pop_back();  // the terminating zero
    return result;
}

void Print(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

// A string for a request: the host passes it to the manager unchanged (it never reads the XML).
class Bstr {
  public:
    explicit Bstr(const wchar_t* text) : m_text(SysAllocString(text)) {}
    ~Bstr() { SysFreeString(m_text); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR get() const { return m_text; }

  private:
    BSTR m_text;
};

// ---------------------------------------------------------------- events

// One event as the host fires it: its DISPID (from the kit's header, not the dispinterface's member
// id), its name and what it carries. Text events carry a string, answer events also the cookie of the
// request they answer.
struct EventInfo {
    DISPID id;
    const char* name;
    const char* text;  // the string argument's name, or null when there is none
    bool cookie;
};

constexpr EventInfo kMeetingEvents[] = {
    {DISPID_MEETING_ONMEETINGCHANGED, "OnMeetingChanged", "bstrLocalMeetingData", false},
    {DISPID_MEETING_ONMEETINGSEARCHED, "OnMeetingSearched", "bstrSearchedMeetingInfo", true},
    {DISPID_MEETING_ONINVITETOMEET, "OnInviteToMeet", "bstrInviteInfosXml", true},
    {DISPID_MEETING_ONGETSCHEDULEDMEETING, "OnGetScheduledMeeting", "bstrScheduledMeetingInfo", true},
    {DISPID_MEETING_ONJOINMEETREJECTED, "OnJoinMeetRejected", "bstrRejectedInfoXml", false},
    {DISPID_MEETING_ONGETMEETINGDATA, "OnGetMeetingData", "bstrGetMeetingData", true},
    {DISPID_MEETING_ONGENERALCALL, "OnGeneralCall", "bstrGenCallResXml", false},
    {DISPID_MEETING_ONERROR, "OnError", "bstrErrorInfoXml", true},
};

constexpr EventInfo kSettingEvents[] = {
    {DISPID_SETTING_ONSETOPEN, "OnSetOpen", "bstrOpenRespXml", true},
    {DISPID_SETTING_ONGETSETTING, "OnGetSetting", "bstrSettingInfoXml", true},
    {DISPID_SETTING_ONSETCLOSE, "OnSetClose", nullptr, true},
    {DISPID_SETTING_ONSETMODIFY, "OnSetModify", "bstrModifyInfoXml", true},
    {DISPID_SETTING_ONERROR, "OnError", "bstrErrorInfoXml", true},
    {DISPID_SETTING_ONGENERALCALL, "OnGeneralCall", "bstrGenCallResXml", false},
};

// A cookie travels as VT_I4 holding the bits of the unsigned value, so cookies from 0x80000000 up arrive
// negative: take the bits. (A value conversion to VT_UI4 may refuse them as an overflow.)
bool CookieOf(const VARIANT& value, unsigned long* cookie) {
    if (value.vt == VT_I4) {
        *cookie = static_cast<unsigned long>(value.lVal);
        return true;
    }
    if (value.vt == VT_UI4) {
        *cookie = value.ulVal;
        return true;
    }
    return false;
}

// The sink the host calls: an IDispatch that also answers for the class's event dispinterface (the
// host's connection point asks for it). It prints every event and remembers which cookies came back.
// Events arrive on this thread while it waits in a message loop or in a call of its own.
class EventSink final : public IDispatch {
  public:
    template <size_t N>
    EventSink(const char* name, const IID& events, const EventInfo (&table)[N])
        : m_name(name), m_events(events), m_table(table), m_count(N) {}

    bool Answered(unsigned long cookie) const { return m_answered.count(cookie) != 0; }

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (iid != IID_IUnknown && iid != IID_IDispatch && iid != m_events) return E_NOINTERFACE;
        *object = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_refs); }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG refs = InterlockedDecrement(&m_refs);
        if (refs == 0) delete this;
        return refs;
    }
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (count) *count = 0;
        return count ? S_OK : E_POINTER;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info) *info = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }

    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        // The host's liveness ping: any answer but "gone" keeps the connection.
        if (id == DISPID_TAVO_LIVENESS_PING) return S_OK;
        const EventInfo* event = Find(id);
        if (!event) {
            Print("event " + m_name + " DISPID " + std::to_string(id) + " (not one of the host's events)");
            return DISP_E_MEMBERNOTFOUND;
        }
        // Arguments arrive in reverse order: the cookie, when there is one, is the last argument.
        const UINT expected = (event->text ? 1u : 0u) + (event->cookie ? 1u : 0u);
        if (!params || params->cArgs != expected) return DISP_E_BADPARAMCOUNT;
        std::string line = "event " + m_name + "::" + event->name + "(";
        if (event->text) {
            const VARIANT& text = params->rgvarg[params->cArgs - 1];
            line += std::string(event->text) + " ";
            line += text.vt == VT_BSTR && text.bstrVal ? "\"" + Utf8(text.bstrVal) + "\"" : "null";
        }
        if (event->cookie) {
            unsigned long cookie = 0;
            if (!CookieOf(params->rgvarg[0], &cookie)) return DISP_E_TYPEMISMATCH;
            m_answered.insert(cookie);
            line += std::string(event->text ? ", " : "") + "dwCookie " + std::to_string(cookie);
        }
        Print(line + ")");
        return S_OK;
    }

  private:
    ~EventSink() = default;
    const EventInfo* Find(DISPID id) const {
        for (size_t i = 0; i < m_count; ++i)
            if (m_table[i].id == id) return &m_table[i];
        return nullptr;
    }

    LONG m_refs = 1;
    std::string m_name;
    IID m_events;
    const EventInfo* m_table;
    size_t m_count;
    std::set<unsigned long> m_answered;
};

// One advised sink: Unadvise when it goes, so the host drops the connection at once.
class Connection {
  public:
    Connection() = default;
    ~Connection() { Disconnect(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    HRESULT Connect(IUnknown* source, const IID& events, IDispatch* sink) {
        ComPtr<IConnectionPointContainer> container;
        HRESULT hr = source->QueryInterface(IID_PPV_ARGS(&container));
        if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(events, &m_point);
        if (SUCCEEDED(hr)) hr = m_point->Advise(sink, &m_cookie);
        if (FAILED(hr)) m_point.Reset();
        return hr;
    }
    void Disconnect() {
        if (!m_point) return;
        m_point->Unadvise(m_cookie);
        m_point.Reset();
    }

  private:
    ComPtr<IConnectionPoint> m_point;
    DWORD m_cookie = 0;
};

// Waits until `answered(cookie)` is true, running this thread's message loop meanwhile: a
// single-threaded apartment receives the host's events as messages.
template <class Answered>
bool WaitForAnswer(Answered answered, unsigned long cookie, DWORD waitMs) {
    const ULONGLONG deadline = GetTickCount64() + waitMs;
    while (!answered(cookie)) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return false;
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(deadline - now), QS_ALLINPUT,
                                    MWMO_INPUTAVAILABLE);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return true;
}

// What a request's outcome says, as an exit code (0: answered later by an event). Methods return S_OK;
// another HRESULT comes from COM (the host process went away, for instance).
int Outcome(const char* method, HRESULT hr, long lRet, unsigned long cookie) {
    if (FAILED(hr)) {
        Print(std::string(method) + " failed: " + Hex(hr));
        return 1;
    }
    Print(std::string(method) + " -> lRet " + std::to_string(lRet) + ", dwCookie " + std::to_string(cookie));
    if (lRet == -2) {
        Print("the host runs without the suite's manager: no answer will come");
        return 2;
    }
    if (lRet != 0) {
        Print("the manager refused the request");
        return 3;
    }
    return 0;
}

int RunPlugin(DWORD waitMs) {
    // One shared instance of each class lives in tavopluginhost.exe; COM starts the host when needed.
    ComPtr<IMeeting> meeting;
    ComPtr<ISetting> setting;
    HRESULT hr = CoCreateInstance(CLSID_Meeting, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&meeting));
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(CLSID_Setting, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&setting));
    if (FAILED(hr)) {
        Print("the host's classes are not available: " + Hex(hr));
        return 1;
    }
    Print("Meeting and Setting created");

    ComPtr<EventSink> meetingSink;
    meetingSink.Attach(new EventSink("_IMeetingEvents", DIID__IMeetingEvents, kMeetingEvents));
    ComPtr<EventSink> settingSink;
    settingSink.Attach(new EventSink("_ISettingEvents", DIID__ISettingEvents, kSettingEvents));
    Connection meetingEvents;
    Connection settingEvents;
    hr = meetingEvents.Connect(meeting.Get(), DIID__IMeetingEvents, meetingSink.Get());
    if (SUCCEEDED(hr)) hr = settingEvents.Connect(setting.Get(), DIID__ISettingEvents, settingSink.Get());
    if (FAILED(hr)) {
        Print("connecting to the events failed: " + Hex(hr));
        return 1;
    }
    Print("connected to _IMeetingEvents and _ISettingEvents");

    // Every method returns S_OK; the outcome is in lRet. A cookie identifies the request in its answer.
    unsigned long cookie = 0;
    long lRet = 0;
    const Bstr start(L"<StartOCMeeting subject=\"Sample plug-in\"/>");
    hr = meeting->StartOCMeeting(start.get(), &cookie, &lRet);
    int code = Outcome("IMeeting::StartOCMeeting", hr, lRet, cookie);
    if (code == 0 &&
        !WaitForAnswer([&](unsigned long c) { return meetingSink->Answered(c); }, cookie, waitMs))
        code = 4;

    if (code == 0) {
        const Bstr query(L"<GetSetting name=\"Sample plug-in\"/>");
        cookie = 0;
        hr = setting->GetSetting(query.get(), &cookie, &lRet);
        code = Outcome("ISetting::GetSetting", hr, lRet, cookie);
        if (code == 0 &&
            !WaitForAnswer([&](unsigned long c) { return settingSink->Answered(c); }, cookie, waitMs))
            code = 4;
    }
    if (code == 4) Print("no answer within the wait");

    // Letting go: first the connections, then the objects. The host ends on its own about 5 s after
    // its last plug-in has let go.
    meetingEvents.Disconnect();
    settingEvents.Disconnect();
    meeting.Reset();
    setting.Reset();
    Print("disconnected and released");
    return code;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    DWORD waitMs = 10000;
    if (argc > 1) waitMs = static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 10)) * 1000;
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hr)) {
        Print("COM could not start: " + Hex(hr));
        return 1;
    }
    const int code = RunPlugin(waitMs);
    CoUninitialize();
    return code;
}
