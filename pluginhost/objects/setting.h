// The Setting class: the settings dialog, the user's account and the suite's processes, forwarded to the
// manager's primary interface; the answers come back as _ISettingEvents events through the setting sink.
#pragma once

#include "com/com.h"
#include "tavoservice.h"

class CSetting final : public CTavoObject<ISetting, &IID_ISetting, CProxy_ISettingEvents> {
  public:
    CSetting();
    ~CSetting() override;

    STDMETHODIMP OpenSettingDlg(BSTR bstrPOpenReqXml, ULONG* dwCookie, LONG* lRet) override;
    STDMETHODIMP CloseSettingDlg(ULONG* dwCookie, LONG* lRet) override;
    STDMETHODIMP GetSetting(BSTR bstrSetReqXml, ULONG* dwCookie, LONG* lRet) override;
    STDMETHODIMP HasValidAccount(VARIANT_BOOL* bRet) override;
    STDMETHODIMP GetAccountInfo(BSTR* bstrRetXml, LONG* lRet) override;
    STDMETHODIMP IsSettingDlgOpened(VARIANT_BOOL* bRet) override;
    STDMETHODIMP GetLastError(LONG* lErrorID) override;
    STDMETHODIMP GeneralCall(BSTR bstrInXml, BSTR* bstrOutXml, LONG* lRet) override;
    STDMETHODIMP Logout(LONG* lRet) override;
    STDMETHODIMP ClearAccout(LONG* lRet) override;
    STDMETHODIMP KillTavoProcess(VARIANT_BOOL* lRet) override;
    STDMETHODIMP StartOCProcess(LONG* lRet) override;
    STDMETHODIMP CheckUpdateProcess(VARIANT_BOOL* lRet) override;
};
