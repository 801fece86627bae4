// How the methods of the dual interfaces hand a client's request to the manager and its answer back.
// The manager is looked up on every call; −2 in lRet or lErrorID means that none was there. Requests
// pass unchanged (the host never reads the documents), through a private copy; a null request reaches
// the manager as a null pointer.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdlib>

#include "manager/tavo_mgr.h"
#include "support/scoped.h"

namespace tavo::host {

inline constexpr LONG kNoManager = -2;

// A private copy of a client's request string; a null string stays null.
class RequestCopy {
  public:
    explicit RequestCopy(BSTR request)
        : m_copy(request ? SysAllocStringLen(request, SysStringLen(request)) : nullptr),
          m_failed(request && !m_copy) {}
    const wchar_t* get() const { return m_copy.get(); }
    bool failed() const { return m_failed; }

  private:
    ScopedBstr m_copy;
    bool m_failed;
};

// The manager's string answer: a buffer from the C runtime's malloc (see manager/tavo_mgr.h), freed
// here whatever the result.
class ManagerString {
  public:
    ManagerString() = default;
    ~ManagerString() { std::free(m_text); }
    ManagerString(const ManagerString&) = delete;
    ManagerString& operator=(const ManagerString&) = delete;
    wchar_t** put() { return &m_text; }
    const wchar_t* get() const { return m_text; }

  private:
    wchar_t* m_text = nullptr;
};

// A yes/no answer as the clients get it: 1 or 0, never −1.
inline VARIANT_BOOL Flag(bool answer) { return answer ? 1 : 0; }

// Request, cookie written by the manager, result in lRet.
template <class Manager, class Call>
HRESULT ForwardWithCookie(Manager* manager, BSTR request, ULONG* cookie, LONG* lRet, Call call) {
    if (!cookie || !lRet) return E_POINTER;
    *lRet = kNoManager;
    if (!manager) return S_OK;
    RequestCopy copy(request);
    if (copy.failed()) return E_OUTOFMEMORY;
    ManagerCall inManager;
    *lRet = call(manager, copy.get(), cookie);
    return S_OK;
}

// Request (or none), string answer, result in lRet. The answer becomes the out string when the result
// is 0 and text came back; otherwise the out string is empty, never null.
template <class Manager, class Call>
HRESULT ForwardWithString(Manager* manager, BSTR request, BSTR* out, LONG* lRet, Call call) {
    if (!out || !lRet) return E_POINTER;
    *lRet = kNoManager;
    if (!manager) return S_OK;
    RequestCopy copy(request);
    if (copy.failed()) return E_OUTOFMEMORY;
    ManagerString answer;
    {
        ManagerCall inManager;
        *lRet = call(manager, copy.get(), answer.put());
    }
    *out = SysAllocString(*lRet == 0 && answer.get() ? answer.get() : L"");
    return *out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace tavo::host
