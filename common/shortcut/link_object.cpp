// Shortcut files through the shell's link object.
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include "shortcut/shortcut.h"
#include "support/scoped.h"

namespace {

// COM on the calling thread for the scope: uninitialised again only when this scope initialised it (a
// thread already in another apartment keeps it, and the link object works there too).
class ScopedComInit {
  public:
    ScopedComInit() : m_result(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ScopedComInit() {
        if (SUCCEEDED(m_result)) CoUninitialize();
    }
    ScopedComInit(const ScopedComInit&) = delete;
    ScopedComInit& operator=(const ScopedComInit&) = delete;

  private:
    HRESULT m_result;
};

}  // namespace

HRESULT CPluginsShortcut::CreateShortcutLink(LPCWSTR lpszShortcutPath, LPCWSTR lpszTarget,
                                             LPCWSTR lpszArguments, LPCWSTR lpszIconFile, int iIconIndex) {
    ScopedComInit com;
    tavo::ComPtr<IShellLinkW> link;
    HRESULT hr =
        CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.put_void());
    if (FAILED(hr)) return hr;
    hr = link->SetPath(lpszTarget);
    if (lpszIconFile) hr = link->SetIconLocation(lpszIconFile, iIconIndex);
    if (lpszArguments) hr = link->SetArguments(lpszArguments);
    tavo::ComPtr<IPersistFile> file;
    hr = link->QueryInterface(IID_IPersistFile, file.put_void());
    if (FAILED(hr)) return hr;
    return file->Save(lpszShortcutPath, TRUE);
}

HRESULT CPluginsShortcut::ReadShortcutLink(LPCWSTR lpszShortcutPath, ShortcutLink& link) {
    try {
        ScopedComInit com;
        tavo::ComPtr<IShellLinkW> shellLink;
        HRESULT hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                      shellLink.put_void());
        if (FAILED(hr)) return hr;
        tavo::ComPtr<IPersistFile> file;
        hr = shellLink->QueryInterface(IID_IPersistFile, file.put_void());
        if (FAILED(hr)) return hr;
        hr = file->Load(lpszShortcutPath, STGM_READ);
        if (FAILED(hr)) return hr;
        wchar_t text[MAX_PATH * 4] = {};
        hr = shellLink->GetPath(text, MAX_PATH * 4, nullptr, SLGP_RAWPATH);
        if (FAILED(hr)) return hr;
        link.target = text;
        text[0] = L'\0';
        link.arguments = SUCCEEDED(shellLink->GetArguments(text, MAX_PATH * 4)) ? text : L"";
        text[0] = L'\0';
        int index = 0;
        link.iconFile = SUCCEEDED(shellLink->GetIconLocation(text, MAX_PATH * 4, &index)) ? text : L"";
        link.iconIndex = index;
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}
