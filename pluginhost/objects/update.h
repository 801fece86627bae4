// The Update class: checking for and running updates of the suite, forwarded to the manager's update
// interface; the answers come back as _IUpdateEvents events through the update sink.
#pragma once

#include "com/com.h"
#include "tavoservice.h"

class CUpdate final : public CTavoObject<IUpdate, &IID_IUpdate, CProxy_IUpdateEvents> {
  public:
    CUpdate();
    ~CUpdate() override;

    STDMETHODIMP Update(BSTR bstrUpdateReqXml, ULONG* dwCookie, LONG* lRet) override;
    STDMETHODIMP CheckUpdate(BSTR bstrSiteVersionInfoXml, VARIANT_BOOL* bRet) override;
    STDMETHODIMP GeneralCall(BSTR bstrInXml, BSTR* bstrOutXml, LONG* lRet) override;
    STDMETHODIMP GetLastError(LONG* lErrorID) override;
    STDMETHODIMP GetVersionInfo(BSTR bstrVerReqXml, BSTR* bstrVersionInfo, LONG* lRet) override;
};
