// The Telemetry class: metrics handed to the telemetry exports of the manager library, through a handle
// of the library of its own (so it works without a manager object, and keeps the library loaded while
// it lives). It has no sink and fires no events.
#pragma once

#include "com/com.h"
#include "support/scoped.h"
#include "tavoservice.h"

class CTelemetry final : public CTavoObject<ITelemetry, &IID_ITelemetry, CProxy_ITelemetryEvents> {
  public:
    CTelemetry();
    ~CTelemetry() override;

    STDMETHODIMP GetID(int* nId, BSTR bstrName) override;
    STDMETHODIMP AddMetricStringValue(int id, BSTR bstrMetricName, BSTR bstrMetricValue) override;
    STDMETHODIMP AddMetricLongValue(int id, BSTR bstrMetricName, LONG lMetricValue) override;
    STDMETHODIMP SendMetrics(int id, int eMetricName) override;

  private:
    // The export of the library, loading the library first when it is not loaded; null when either is
    // missing (the next call tries again).
    template <class Fn>
    Fn Export(const char* name) noexcept;

    tavo::ScopedLibrary m_library;
};
