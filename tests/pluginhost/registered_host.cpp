#include "registered_host.h"

namespace tavo::test {

RegisteredHost::RegisteredHost(const std::wstring& manager) {
    if (!manager.empty() && !m_install.Add(manager, L"tavoMgr.dll")) return;
    if (RunHostToEnd(m_install.exe(), L"/RegServer") != 0) return;
    m_alias = std::make_unique<WineTypeLibAlias>(m_install.exe());
    m_comInitialized = SUCCEEDED(CoInitialize(nullptr));
    m_ok = m_alias->ok() && m_comInitialized;
}

RegisteredHost::~RegisteredHost() {
    if (m_comInitialized) CoUninitialize();
    End();
    m_alias.reset();
    RunHostToEnd(m_install.exe(), L"/UnregServer");
}

void RegisteredHost::Adopt() {
    if (!m_process.pid()) {
        EXPECT_TRUE(m_process.Adopt(m_install.exe(), 10000));
    }
}

ComPtr<IConnectionPoint> RegisteredHost::Point(IUnknown* object, const IID& events) {
    ComPtr<IConnectionPoint> point;
    ComPtr<IConnectionPointContainer> container;
    if (object && SUCCEEDED(object->QueryInterface(IID_IConnectionPointContainer, container.put_void())))
        container->FindConnectionPoint(events, point.put());
    return point;
}

bool RegisteredHost::End() {
    if (!m_process.pid()) return false;
    if (!m_process.Running()) return m_process.WaitExit(0) && m_process.exitCode() == 0;
    if (HWND window = WaitForHelpWindow(m_process.pid(), 1000)) PostMessageW(window, 1434, 0, 0);
    return m_process.WaitExit(30000) && m_process.exitCode() == 0;
}

}  // namespace tavo::test
