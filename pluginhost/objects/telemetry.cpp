#include "objects/telemetry.h"

#include "manager/tavo_mgr.h"
#include "module/module.h"
#include "support/proc_address.h"
#include "window/window.h"

namespace {

constexpr int kTelemetryInitArgument = 20;

}  // namespace

template <class Fn>
Fn CTelemetry::Export(const char* name) noexcept {
    if (!m_library) {
        try {
            const std::wstring path = HostFolderFile(kTavoMgrFileName);
            if (path.empty()) return nullptr;
            m_library.reset(LoadLibraryW(path.c_str()));
        } catch (...) {
            return nullptr;  // out of memory while building the path: as if the library were missing
        }
        if (!m_library) return nullptr;
    }
    return tavo::ProcAddress<Fn>(m_library.get(), name);
}

CTelemetry::CTelemetry() {
    if (auto init = Export<PFN_InitTelemetry>("InitTelemetry")) init(kTelemetryInitArgument);
    if (ITavoMgr* manager = TavoManager()) {
        tavo::host::ManagerCall inManager;
        manager->RegisterObjVerify(Verifier());
    }
    g_tavoBinding.verifiers[kVerifierTelemetry] = Verifier();
}

CTelemetry::~CTelemetry() {
    g_tavoBinding.verifiers[kVerifierTelemetry] = nullptr;
    if (ITavoMgr* manager = TavoManager()) {
        tavo::host::ManagerCall inManager;
        manager->UnregisterObjVerify(Verifier());
    }
    if (auto uninit = Export<PFN_UnInitTelemetry>("UnInitTelemetry")) uninit();
    m_library.reset();
}

namespace {

// The exports take text: a client's null string (an empty BSTR may arrive as null) becomes "".
const wchar_t* Text(BSTR text) { return text ? text : L""; }

}  // namespace

// The clients' own strings are passed on as they came, a null one as ""; the exports' results are not
// used.

STDMETHODIMP CTelemetry::GetID(int* id, BSTR name) {
    if (auto getId = Export<PFN_GetMetricsID>("GetMetricsID")) getId(id, Text(name));
    return S_OK;
}

STDMETHODIMP CTelemetry::AddMetricStringValue(int id, BSTR name, BSTR value) {
    if (auto add = Export<PFN_AddMetricValueString>("AddMetricValueString")) add(id, Text(name), Text(value));
    return S_OK;
}

STDMETHODIMP CTelemetry::AddMetricLongValue(int id, BSTR name, LONG value) {
    if (auto add = Export<PFN_AddMetricValueLong>("AddMetricValueLong")) add(id, Text(name), value);
    return S_OK;
}

STDMETHODIMP CTelemetry::SendMetrics(int id, int metric) {
    if (auto send = Export<PFN_SendMetrics>("SendMetrics")) send(id, metric);
    return S_OK;
}
