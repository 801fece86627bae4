// The type library embedded in the host: the external interface plug-ins compile and dispatch against.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "host_harness.h"

using namespace tavo::test;

namespace {

std::string TypeText(const TYPEDESC& type) {
    switch (type.vt) {
        case VT_PTR:
            return TypeText(*type.lptdesc) + "*";
        case VT_BSTR:
            return "BSTR";
        case VT_I4:
            return "long";
        case VT_UI4:
            return "ulong";
        case VT_INT:
            return "int";
        case VT_BOOL:
            return "bool";
        case VT_HRESULT:
            return "HRESULT";
        default:
            return "vt" + std::to_string(type.vt);
    }
}

// "id name(in BSTR, out ulong*, retval long*) help" for one member.
std::string Describe(ITypeInfo* info, const FUNCDESC* func) {
    BSTR names[16] = {};
    UINT count = 0;
    info->GetNames(func->memid, names, 16, &count);
    BSTR help = nullptr;
    info->GetDocumentation(func->memid, nullptr, &help, nullptr, nullptr);
    std::string text = std::to_string(func->memid) + " " + Narrow(names[0]) + "(";
    for (SHORT i = 0; i < func->cParams; ++i) {
        const ELEMDESC& param = func->lprgelemdescParam[i];
        USHORT flags = param.paramdesc.wParamFlags;
        if (i) text += ", ";
        if (flags & PARAMFLAG_FIN) text += "in ";
        if (flags & PARAMFLAG_FOUT) text += "out ";
        if (flags & PARAMFLAG_FRETVAL) text += "retval ";
        if (flags & PARAMFLAG_FOPT) text += "optional ";
        text += TypeText(param.tdesc) + " " + Narrow(static_cast<UINT>(i + 1) < count ? names[i + 1] : L"?");
    }
    text += ") " + TypeText(func->elemdescFunc.tdesc) + " \"" + Narrow(help) + "\"";
    for (UINT i = 0; i < count; ++i) SysFreeString(names[i]);
    SysFreeString(help);
    return text;
}

struct TypeFacts {
    std::string help;
    TYPEKIND kind = TKIND_MAX;
    WORD flags = 0;
    std::vector<std::string> members;      // of the vtable half for dual interfaces
    std::vector<std::string> implemented;  // coclasses: "default source name"
};

TypeFacts Facts(ITypeInfo* info) {
    TypeFacts facts;
    BSTR help = nullptr;
    info->GetDocumentation(MEMBERID_NIL, nullptr, &help, nullptr, nullptr);
    facts.help = Narrow(help);
    SysFreeString(help);
    TYPEATTR* attr = nullptr;
    info->GetTypeAttr(&attr);
    facts.kind = attr->typekind;
    facts.flags = attr->wTypeFlags;
    ITypeInfo* members = info;
    ITypeInfo* vtableHalf = nullptr;
    if (attr->typekind == TKIND_DISPATCH && (attr->wTypeFlags & TYPEFLAG_FDUAL)) {
        HREFTYPE ref = 0;
        if (SUCCEEDED(info->GetRefTypeOfImplType(-1, &ref)) &&
            SUCCEEDED(info->GetRefTypeInfo(ref, &vtableHalf)))
            members = vtableHalf;
    }
    TYPEATTR* memberAttr = nullptr;
    members->GetTypeAttr(&memberAttr);
    for (WORD i = 0; i < memberAttr->cFuncs; ++i) {
        FUNCDESC* func = nullptr;
        if (FAILED(members->GetFuncDesc(i, &func))) continue;
        // The IDispatch methods come first in the vtable half; only the interface's own members count.
        if (func->memid >= 0 && func->memid < 0x60000000) facts.members.push_back(Describe(members, func));
        members->ReleaseFuncDesc(func);
    }
    members->ReleaseTypeAttr(memberAttr);
    if (attr->typekind == TKIND_COCLASS) {
        for (WORD i = 0; i < attr->cImplTypes; ++i) {
            INT implFlags = 0;
            info->GetImplTypeFlags(i, &implFlags);
            HREFTYPE ref = 0;
            ITypeInfo* implemented = nullptr;
            info->GetRefTypeOfImplType(i, &ref);
            info->GetRefTypeInfo(ref, &implemented);
            BSTR name = nullptr;
            implemented->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
            std::string text = (implFlags & IMPLTYPEFLAG_FDEFAULT) ? "default " : "";
            if (implFlags & IMPLTYPEFLAG_FSOURCE) text += "source ";
            facts.implemented.push_back(text + Narrow(name));
            SysFreeString(name);
            implemented->Release();
        }
    }
    if (vtableHalf) vtableHalf->Release();
    info->ReleaseTypeAttr(attr);
    return facts;
}

TypeFacts FactsOf(ITypeLib* lib, const GUID& guid) {
    ITypeInfo* info = nullptr;
    if (FAILED(lib->GetTypeInfoOfGuid(guid, &info))) return {};
    TypeFacts facts = Facts(info);
    info->Release();
    return facts;
}

GUID Guid(const wchar_t* text) {
    GUID guid = {};
    CLSIDFromString(text, &guid);
    return guid;
}

using Members = std::vector<std::string>;

}  // namespace

TEST(HostTypeLibrary, DeclaresTheLibraryInterfacesEventsAndClassesExactly) {
    HostInstall install;
    ITypeLib* lib = nullptr;
    ASSERT_HRESULT_SUCCEEDED(LoadTypeLibEx(install.exe().c_str(), REGKIND_NONE, &lib));
    TLIBATTR* libAttr = nullptr;
    ASSERT_HRESULT_SUCCEEDED(lib->GetLibAttr(&libAttr));
    EXPECT_TRUE(IsEqualGUID(Guid(L"{9F41C6D2-0E7B-4A35-B8C4-62D1E0F7A3B5}"), libAttr->guid));
    EXPECT_EQ(1033u, libAttr->lcid);
    EXPECT_EQ(1, libAttr->wMajorVerNum);
    EXPECT_EQ(0, libAttr->wMinorVerNum);
    lib->ReleaseTLibAttr(libAttr);
    BSTR name = nullptr, help = nullptr;
    lib->GetDocumentation(-1, &name, &help, nullptr, nullptr);
    EXPECT_EQ("TAVOSERVICELib", Narrow(name));
    EXPECT_EQ("tavoService 1.0 Type Library", Narrow(help));
    SysFreeString(name);
    SysFreeString(help);

    const std::map<std::wstring, Members> interfaces = {
        {L"{0BF7ADD1-4532-4EA0-861C-B147B3E09D36}",
         {"1 StartOCMeeting(in BSTR bstrStartReqXml, out ulong* dwCookie, out retval long* lRet) HRESULT "
          "\"method StartOCMeeting\"",
          "2 JoinOCMeeting(in BSTR bstrJoinReqXml, out ulong* dwCookie, out retval long* lRet) HRESULT "
          "\"method JoinOCMeeting\"",
          "3 InviteToMeeting(in BSTR bstrInviteReqXml, out ulong* dwCookie, out retval long* lRet) HRESULT "
          "\"method InviteToMeeting\"",
          "4 GetStartedMeeting(out BSTR* bstrMeetingDataXML, out retval long* lRet) HRESULT \"method "
          "GetStartedMeeting\"",
          "5 GetInviteUrl(in BSTR bstrInviteInfoXml, out BSTR* bstrInviteUrl, out retval long* lRet) HRESULT "
          "\"method GetInviteUrl\"",
          "6 StartScheduledMeeting(in BSTR bstrScheduledReqXml, out ulong* dwCookie, out retval long* lRet) "
          "HRESULT \"method StartScheduledMeeting\"",
          "7 GeneralCall(in BSTR bstrInXml, out BSTR* bstrOutXml, out retval long* lRet) HRESULT \"method "
          "GeneralCall\"",
          "8 GetLastError(out retval long* lErrorID) HRESULT \"method GetLastError\"",
          "9 CheckIfDisclaimerInProgress(out long* lpInProgress, out retval long* lRet) HRESULT \"method "
          "CheckIfDisclaimerInProgress\"",
          "10 CheckDisclaimerAndCloseCommunicationDlg(out retval long* lRet) HRESULT \"method "
          "CheckDisclaimerAndCloseCommunicationDlg\"",
          "11 CheckMeetingGoingStatus(out long* lpGoingStatus, out retval long* lRet) HRESULT \"method "
          "CheckMeetingGoingStatus\""}},
        {L"{2382D326-DB5B-4140-B3C4-6DCE5759A20A}",
         {"1 OpenSettingDlg(in BSTR bstrPOpenReqXml, out ulong* dwCookie, out retval long* lRet) HRESULT "
          "\"method OpenSettingDlg\"",
          "2 CloseSettingDlg(out ulong* dwCookie, out retval long* lRet) HRESULT \"method CloseSettingDlg\"",
          "3 GetSetting(in BSTR bstrSetReqXml, out ulong* dwCookie, out retval long* lRet) HRESULT \"method "
          "GetSetting\"",
          "4 HasValidAccount(out retval bool* bRet) HRESULT \"method HasValidAccount\"",
          "5 GetAccountInfo(out BSTR* bstrRetXml, out retval long* lRet) HRESULT \"method GetAccountInfo\"",
          "6 IsSettingDlgOpened(out retval bool* bRet) HRESULT \"method IsSettingDlgOpened\"",
          "7 GetLastError(out retval long* lErrorID) HRESULT \"method GetLastError\"",
          "8 GeneralCall(in BSTR bstrInXml, out BSTR* bstrOutXml, out retval long* lRet) HRESULT \"method "
          "GeneralCall\"",
          "9 Logout(out retval long* lRet) HRESULT \"method Logout\"",
          "10 ClearAccout(out retval long* lRet) HRESULT \"method ClearAccout\"",
          "11 KillTavoProcess(out retval bool* lRet) HRESULT \"method KillTavoProcess\"",
          "12 StartOCProcess(out retval long* lRet) HRESULT \"method StartOCProcess\"",
          "13 CheckUpdateProcess(out retval bool* lRet) HRESULT \"method CheckUpdateProcess\""}},
        {L"{8B4ED8BF-6746-44A5-B041-37C658EA36E1}",
         {"1 Update(in BSTR bstrUpdateReqXml, out ulong* dwCookie, out retval long* lRet) HRESULT \"method "
          "Update\"",
          "2 CheckUpdate(in BSTR bstrSiteVersionInfoXml, out retval bool* bRet) HRESULT \"method "
          "CheckUpdate\"",
          "3 GeneralCall(in BSTR bstrInXml, out BSTR* bstrOutXml, out retval long* lRet) HRESULT \"method "
          "GeneralCall\"",
          "4 GetLastError(out retval long* lErrorID) HRESULT \"method GetLastError\"",
          "5 GetVersionInfo(in BSTR bstrVerReqXml, out BSTR* bstrVersionInfo, out retval long* lRet) HRESULT "
          "\"method GetVersionInfo\""}},
        {L"{4ED9C64F-A9D8-483B-AA53-6C4DBA315E9A}",
         {"1 GetID(out int* nId, in optional BSTR bstrName) HRESULT \"method GetID\"",
          "2 AddMetricStringValue(in int id, in BSTR bstrMetricName, in BSTR bstrMetricValue) HRESULT "
          "\"method AddMetricStringValue\"",
          "3 AddMetricLongValue(in int id, in BSTR bstrMetricName, in long lMetricValue) HRESULT \"method "
          "AddMetricLongValue\"",
          "4 SendMetrics(in int id, in int eMetricName) HRESULT \"method SendMetrics\""}},
    };
    const std::map<std::wstring, std::string> interfaceHelp = {
        {L"{0BF7ADD1-4532-4EA0-861C-B147B3E09D36}", "IMeeting Interface"},
        {L"{2382D326-DB5B-4140-B3C4-6DCE5759A20A}", "ISetting Interface"},
        {L"{8B4ED8BF-6746-44A5-B041-37C658EA36E1}", "IUpdate Interface"},
        {L"{4ED9C64F-A9D8-483B-AA53-6C4DBA315E9A}", "ITelemetry Interface"},
    };
    for (const auto& [iid, members] : interfaces) {
        TypeFacts facts = FactsOf(lib, Guid(iid.c_str()));
        SCOPED_TRACE(interfaceHelp.at(iid));
        EXPECT_EQ(interfaceHelp.at(iid), facts.help);
        EXPECT_EQ(TKIND_DISPATCH, facts.kind);
        EXPECT_TRUE(facts.flags & TYPEFLAG_FDUAL);
        EXPECT_TRUE(SameLines(facts.members, members));
    }

    const std::map<std::wstring, std::pair<std::string, Members>> events = {
        {L"{515C8333-3A04-4486-BA63-376F81227B4F}",
         {"_ISettingEvents Interface",
          {"1 OnSetOpen(in BSTR bstrOpenRespXml, in ulong dwCookie) HRESULT \"method OnSetOpen\"",
           "2 OnSetClose(in ulong dwCookie) HRESULT \"method OnSetClose\"",
           "3 OnGetSetting(in BSTR bstrSettingInfoXml, in ulong dwCookie) HRESULT \"method OnGetSetting\"",
           "4 OnSetModify(in BSTR bstrModifyInfoXml, in ulong dwCookie) HRESULT \"method OnSetModify\"",
           "5 OnError(in BSTR bstrErrorInfoXml, in ulong dwCookie) HRESULT \"method OnError\"",
           "6 OnGeneralCall(in BSTR bstrGenCallResXml) HRESULT \"method OnGeneralCall\"",
           "7 OnTavoObjVerify() HRESULT \"method OnTavoObjVerify\""}}},
        {L"{618DB1B7-B3E2-4EC4-8DBB-7344E1A8C4E8}",
         {"_IMeetingEvents Interface",
          {"1 OnMeetingChanged(in BSTR bstrLocalMeetingData) HRESULT \"method OnMeetingChanged\"",
           "2 OnMeetingSearched(in BSTR bstrSearchedMeetingInfo, in ulong dwCookie) HRESULT \"method "
           "OnMeetingSearched\"",
           "3 OnInviteToMeet(in BSTR bstrInviteInfosXml, in ulong dwCookie) HRESULT \"method "
           "OnInviteToMeet\"",
           "4 OnGetScheduledMeeting(in BSTR bstrScheduledMeetingInfo, in ulong dwCookie) HRESULT \"method "
           "OnGetScheduledMeeting\"",
           "5 OnJoinMeetRejected(in BSTR bstrRejectedInfoXml) HRESULT \"method OnJoinMeetRejected\"",
           "6 OnGetMeetingData(in BSTR bstrGetMeetingData, in ulong dwCookie) HRESULT \"method "
           "OnGetMeetingData\"",
           "7 OnGeneralCall(in BSTR bstrGenCallResXml) HRESULT \"method OnGeneralCall\"",
           "8 OnError(in BSTR bstrErrorInfoXml, in ulong dwCookie) HRESULT \"method OnError\"",
           "9 OnTavoObjVerify() HRESULT \"method OnTavoObjVerify\""}}},
        {L"{7A60D95A-27DC-4389-B3A4-1C23741B4592}",
         {"_IUpdateEvents Interface",
          {"1 OnUpdateComplete(in ulong dwCookie) HRESULT \"method OnUpdateComplete\"",
           "2 OnGeneralCall(in BSTR bstrGenCallResXml) HRESULT \"method OnGeneralCall\"",
           "3 OnError(in BSTR bstrErrorInfoXml, in ulong dwCookie) HRESULT \"method OnError\"",
           "4 OnTavoObjVerify() HRESULT \"method OnTavoObjVerify\""}}},
        {L"{32CC04AF-2F21-4A3D-810E-4C356D258655}", {"_ITelemetryEvents Interface", {}}},
    };
    for (const auto& [iid, expected] : events) {
        TypeFacts facts = FactsOf(lib, Guid(iid.c_str()));
        SCOPED_TRACE(expected.first);
        EXPECT_EQ(expected.first, facts.help);
        EXPECT_EQ(TKIND_DISPATCH, facts.kind);
        EXPECT_FALSE(facts.flags & TYPEFLAG_FDUAL);
        EXPECT_TRUE(SameLines(facts.members, expected.second));
    }

    const std::map<std::wstring, std::pair<std::string, Members>> classes = {
        {L"{2C7A9E05-61B3-4D8F-A024-E5B7C3D19F60}",
         {"Setting Class", {"default ISetting", "default source _ISettingEvents"}}},
        {L"{7E3D1B92-4C05-4A6E-8F17-B9D2C0A54E38}",
         {"Meeting Class", {"default IMeeting", "default source _IMeetingEvents"}}},
        {L"{4A6C0F83-D215-4E79-B3A8-1F5E7D9C2B04}",
         {"Update Class", {"default IUpdate", "default source _IUpdateEvents"}}},
        {L"{B05E2D71-8F3A-4C96-A1D7-3E6F8B2C4A19}", {"Telemetry Class", {"default ITelemetry"}}},
    };
    for (const auto& [clsid, expected] : classes) {
        TypeFacts facts = FactsOf(lib, Guid(clsid.c_str()));
        SCOPED_TRACE(expected.first);
        EXPECT_EQ(expected.first, facts.help);
        EXPECT_EQ(TKIND_COCLASS, facts.kind);
        EXPECT_EQ(expected.second, facts.implemented);
    }
    lib->Release();
}
