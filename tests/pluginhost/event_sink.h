// A client's event sink for the host's tests: an IDispatch that answers for one event dispinterface and
// records every Invoke it receives as "<dispid>(<arguments in their natural order>)", with "bstr:null"
// for a null string, e.g. "32(bstr:\"data\",i4:7)".
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace tavo::test {

class EventSink : public IDispatch {
  public:
    explicit EventSink(const IID& events) : m_events(events) {}
    virtual ~EventSink() = default;

    // What Invoke answers for DISPID 0 (the host's liveness ping); S_OK unless set.
    void AnswerPing(HRESULT hr) { m_pingAnswer = hr; }
    std::vector<std::string> Events() const;
    // Every event received, each followed by "\n".
    std::string Transcript() const;
    size_t EventCount() const;
    LONG refs() const { return m_refs.load(); }

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override { return --m_refs; }  // lives on the test's stack
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID dispid, REFIID iid, LCID, WORD flags, DISPPARAMS* parameters, VARIANT* result,
                        EXCEPINFO*, UINT*) override;

  private:
    IID m_events;
    std::atomic<LONG> m_refs{1};
    HRESULT m_pingAnswer = S_OK;
    mutable std::mutex m_lock;
    std::vector<std::string> m_received;
};

// A variant argument as the sink records it: bstr:"text", bstr:null, i4:7, ...
std::string DescribeVariant(const VARIANT& value);

// Calls `dispid` by IDispatch::Invoke with a request string and a by-reference cookie (StartOCMeeting's
// shape: the request first, the cookie after it), the result into `result`.
HRESULT InvokeWithCookie(IDispatch* object, DISPID dispid, BSTR request, ULONG* cookie, VARIANT* result);

}  // namespace tavo::test
