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
    if (ITavoMgr* manager = TavoManager()) manager->RegisterObjVerify(Verifier());
    g_tavoBinding.verifiers[kVerifierTelemetry] = Verifier();
}

CTelemetry::~CTelemetry() {
    g_tavoBinding.verifiers[kVerifierTelemetry] = nullptr;
    if (ITavoMgr* manager = TavoManager()) manager->UnregisterObjVerify(Verifier());
    if (auto uninit = Export<PFN_UnInitTelemetry>("UnInitTelemetry")) uninit();
    m_library.reset();
}

// The clients' own strings are passed on as they came; the exports' results are not used.

STDMETHODIMP CTelemetry::GetID(int* id, BSTR name) {
    if (auto getId = Export<PFN_GetMetricsID>("GetMetricsID")) getId(id, name);
    return S_OK;
}

STDMETHODIMP CTelemetry::AddMetricStringValue(int id, BSTR name, BSTR value) {
    if (auto add = Export<PFN_AddMetricValueString>("AddMetricValueString")) add(id, name, value);
    return S_OK;
}

STDMETHODIMP CTelemetry::AddMetricLongValue(int id, BSTR name, LONG value) {
    if (auto add = Export<PFN_AddMetricValueLong>("AddMetricValueLong")) add(id, name, value);
    return S_OK;
}

STDMETHODIMP CTelemetry::SendMetrics(int id, int metric) {
    if (auto send = Export<PFN_SendMetrics>("SendMetrics")) send(id, metric);
    return S_OK;
}
