// bench_bare_server.exe: the benchmark's baseline local server (bare.idl). Built with the host's toolchain
// and marshalled the same way (the universal marshaler from its embedded type library), but with nothing
// between a call and its answer: Echo hands the text back; "fire:<n>" then has OnEcho fired <n> times.
//   /RegServer   writes the class (LocalServer32) and registers the type library; /UnregServer removes both
//   otherwise    serves the class until its one instance is released, then ends at once
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>

#include <cwchar>
#include <string>
#include <vector>

#include "bare.h"
#include "support/scoped.h"

namespace {

using tavo::ComPtr;

constexpr wchar_t kClassKey[] = L"Software\\Classes\\CLSID\\{5C0E8B14-2F4A-4B6D-9E27-7A1D3C5B9E40}";
DWORD g_mainThread = 0;
ComPtr<ITypeInfo> g_typeInfo;

class BareEcho : public IBareEcho, public IConnectionPointContainer, public IConnectionPoint {
  public:
    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IBareEcho) {
            *out = static_cast<IBareEcho*>(this);
        } else if (iid == IID_IConnectionPointContainer) {
            *out = static_cast<IConnectionPointContainer*>(this);
        } else if (iid == IID_IConnectionPoint) {
            *out = static_cast<IConnectionPoint*>(this);
        } else {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_references; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --m_references;
        if (left == 0) PostThreadMessageW(g_mainThread, WM_QUIT, 0, 0);  // the object lives until then
        return left;
    }

    // IDispatch, from the type library
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        *count = 1;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        *info = g_typeInfo.get();
        (*info)->AddRef();
        return S_OK;
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        return g_typeInfo->GetIDsOfNames(names, count, ids);
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* parameters, VARIANT* result,
                        EXCEPINFO* exception, UINT* error) override {
        return g_typeInfo->Invoke(static_cast<IBareEcho*>(this), id, flags, parameters, result, exception,
                                  error);
    }

    // IBareEcho
    STDMETHODIMP Echo(BSTR text, BSTR* result) override {
        if (!result) return E_POINTER;
        // Fired from the server's own message loop once the call has returned, as the host fires the
        // manager's answers: not from inside a client's call.
        if (text && wcsncmp(text, L"fire:", 5) == 0)
            PostThreadMessageW(g_mainThread, WM_APP, _wtoi(text + 5), 0);
        *result = SysAllocString(text ? text : L"");
        return S_OK;
    }

    STDMETHODIMP Relay(BSTR text, BSTR* answer, long* result) override {
        if (!answer || !result) return E_POINTER;
        *answer = SysAllocString(text ? text : L"");
        *result = 0;
        return S_OK;
    }

    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
    STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
        if (iid != DIID__IBareEchoEvents) return CONNECT_E_NOCONNECTION;
        *point = this;
        AddRef();
        return S_OK;
    }

    // IConnectionPoint
    STDMETHODIMP GetConnectionInterface(IID* iid) override {
        *iid = DIID__IBareEchoEvents;
        return S_OK;
    }
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** container) override {
        *container = this;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override {
        ComPtr<IDispatch> dispatch;
        if (!sink || FAILED(sink->QueryInterface(DIID__IBareEchoEvents, dispatch.put_void())))
            return CONNECT_E_CANNOTCONNECT;
        m_sinks.push_back(std::move(dispatch));
        *cookie = static_cast<DWORD>(m_sinks.size());
        return S_OK;
    }
    STDMETHODIMP Unadvise(DWORD cookie) override {
        if (cookie == 0 || cookie > m_sinks.size() || !m_sinks[cookie - 1]) return CONNECT_E_NOCONNECTION;
        m_sinks[cookie - 1].reset();
        return S_OK;
    }
    STDMETHODIMP EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

    void Fire(int count, const wchar_t* text) {
        for (int i = 0; i < count; ++i) {
            for (size_t slot = 0; slot < m_sinks.size(); ++slot) {
                ComPtr<IDispatch> sink = m_sinks[slot];  // a sink may unadvise while it is called
                if (!sink) continue;
                VARIANT argument;
                VariantInit(&argument);
                argument.vt = VT_BSTR;
                argument.bstrVal = SysAllocString(text);
                DISPPARAMS parameters = {&argument, nullptr, 1, 0};
                VARIANT result;
                VariantInit(&result);
                sink->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters, &result, nullptr,
                             nullptr);
                VariantClear(&result);
                VariantClear(&argument);
            }
        }
    }

  private:
    ULONG m_references = 0;
    std::vector<ComPtr<IDispatch>> m_sinks;
};

BareEcho* g_instance = nullptr;

// Hands every client the one instance.
class Factory : public IClassFactory {
  public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (iid != IID_IUnknown && iid != IID_IClassFactory) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        *out = this;
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (outer) return CLASS_E_NOAGGREGATION;
        return g_instance->QueryInterface(iid, out);
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

std::wstring OwnPath() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

HRESULT Register(bool add) {
    ComPtr<ITypeLib> library;
    HRESULT hr = LoadTypeLibEx(OwnPath().c_str(), REGKIND_NONE, library.put());
    if (FAILED(hr)) return hr;
    if (!add) {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kClassKey);
        return UnRegisterTypeLib(LIBID_BareBenchLib, 1, 0, 0, SYS_WIN32);
    }
    tavo::ScopedRegKey key;
    const std::wstring server = std::wstring(kClassKey) + L"\\LocalServer32";
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, server.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS)
        return E_ACCESSDENIED;
    const std::wstring quoted = L"\"" + OwnPath() + L"\"";
    RegSetValueExW(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(quoted.c_str()),
                   static_cast<DWORD>((quoted.size() + 1) * sizeof(wchar_t)));
    std::wstring path = OwnPath();
    return RegisterTypeLib(library.get(), path.data(), nullptr);
}

int Serve() {
    ComPtr<ITypeLib> library;
    if (FAILED(LoadTypeLibEx(OwnPath().c_str(), REGKIND_NONE, library.put())) ||
        FAILED(library->GetTypeInfoOfGuid(IID_IBareEcho, g_typeInfo.put())))
        return 1;
    g_mainThread = GetCurrentThreadId();
    BareEcho instance;
    g_instance = &instance;
    Factory factory;
    DWORD registration = 0;
    if (FAILED(CoRegisterClassObject(CLSID_BareEcho, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                     &registration)))
        return 1;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_APP && !message.hwnd)
            instance.Fire(static_cast<int>(message.wParam), L"<event/>");
        DispatchMessageW(&message);
    }
    CoRevokeClassObject(registration);
    g_typeInfo.reset();
    return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, wchar_t* commandLine, int) {
    if (FAILED(CoInitialize(nullptr))) return 1;
    int code = 0;
    if (wcsstr(commandLine, L"/UnregServer")) {
        code = static_cast<int>(Register(false));
    } else if (wcsstr(commandLine, L"/RegServer")) {
        code = static_cast<int>(Register(true));
    } else {
        code = Serve();
    }
    CoUninitialize();
    return code;
}
