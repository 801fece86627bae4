// The manager interfaces of manager/tavo_mgr.h against the binary contract: each operation's slot, its
// calling convention (`this` in ECX) and the size of its stack arguments (the callee removes them), read
// from the tables below and not from the header's declaration order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "manager/tavo_mgr.h"

namespace {

// What the last raw call reached.
struct Reached {
    std::string operation;
    const void* self = nullptr;
};
Reached g_reached;

void Ran(const char* operation, const void* self) { g_reached = {operation, self}; }

// Calls slot `slot` of the interface at `self` the way the host does (this in ECX, arguments on the stack,
// removed by the callee), with twelve bytes of zero arguments pushed, and returns how many bytes the
// callee removed. The stack pointer is restored whatever the callee did, so that a wrong entry in the
// header shows as a wrong count instead of a broken stack.
__attribute__((noinline)) unsigned CallSlot(void* self, unsigned slot) {
    void* function = (*static_cast<void***>(self))[slot];
    unsigned removed = 0;
    __asm__ volatile(
        "movl %%esp, %%esi\n\t"
        "pushl $0\n\t"
        "pushl $0\n\t"
        "pushl $0\n\t"
        "call *%%eax\n\t"
        "movl %%esp, %%eax\n\t"
        "subl %%esi, %%eax\n\t"
        "addl $12, %%eax\n\t"
        "movl %%esi, %%esp\n\t"
        : "=a"(removed), "+c"(self)
        : "0"(function)
        : "edx", "esi", "memory", "cc");
    return removed;
}

struct Slot {
    unsigned slot;
    const char* operation;
    unsigned arguments;  // stack arguments after `this`, 4 bytes each
};

template <class Interface>
void ExpectSlots(Interface& object, const std::vector<Slot>& table, const char* interfaceName) {
    for (const Slot& entry : table) {
        SCOPED_TRACE(std::string(interfaceName) + " slot " + std::to_string(entry.slot));
        g_reached = {};
        unsigned removed = CallSlot(&object, entry.slot);
        EXPECT_EQ(g_reached.operation, entry.operation);
        EXPECT_EQ(g_reached.self, static_cast<const void*>(&object)) << "this did not arrive in ECX";
        EXPECT_EQ(removed, entry.arguments * 4);
    }
}

#define RAN(name) Ran(name, this)

class MgrRecorder : public ITavoMgr {
    long TAVO_MGR_CALL OpenSettingDlg(const wchar_t*, unsigned long*) override {
        return RAN("OpenSettingDlg"), 0;
    }
    long TAVO_MGR_CALL CloseSettingDlg(unsigned long*) override { return RAN("CloseSettingDlg"), 0; }
    long TAVO_MGR_CALL GetSetting(const wchar_t*, unsigned long*) override { return RAN("GetSetting"), 0; }
    bool TAVO_MGR_CALL HasValidAccount() override { return RAN("HasValidAccount"), false; }
    long TAVO_MGR_CALL GetAccountInfo(wchar_t**) override { return RAN("GetAccountInfo"), 0; }
    bool TAVO_MGR_CALL IsSettingDlgOpened() override { return RAN("IsSettingDlgOpened"), false; }
    long TAVO_MGR_CALL GetLastError() override { return RAN("GetLastError"), 0; }
    long TAVO_MGR_CALL GeneralCall(const wchar_t*, wchar_t**) override { return RAN("GeneralCall"), 0; }
    long TAVO_MGR_CALL Logout() override { return RAN("Logout"), 0; }
    long TAVO_MGR_CALL ClearAccout() override { return RAN("ClearAccout"), 0; }
    bool TAVO_MGR_CALL KillTavoProcess() override { return RAN("KillTavoProcess"), false; }
    long TAVO_MGR_CALL StartOCProcess() override { return RAN("StartOCProcess"), 0; }
    bool TAVO_MGR_CALL CheckUpdateProcess() override { return RAN("CheckUpdateProcess"), false; }
    void TAVO_MGR_CALL RegisterObjVerify(ITavoObjVerify*) override { RAN("RegisterObjVerify"); }
    void TAVO_MGR_CALL UnregisterObjVerify(ITavoObjVerify*) override { RAN("UnregisterObjVerify"); }
    void TAVO_MGR_CALL SetSettingSink(ITavoSink_Setting*) override { RAN("SetSettingSink"); }
    void TAVO_MGR_CALL SetMeetingSink(ITavoSink_Meeting*) override { RAN("SetMeetingSink"); }
    void TAVO_MGR_CALL SetUpdateSink(ITavoSink_Update*) override { RAN("SetUpdateSink"); }
    long TAVO_MGR_CALL IsBusy() override { return RAN("IsBusy"), 0; }
    void TAVO_MGR_CALL Destroy() override { RAN("Destroy"); }
};

class MeetingRecorder : public ITavoMgr_Meeting {
    long TAVO_MGR_CALL StartOCMeeting(const wchar_t*, unsigned long*) override {
        return RAN("StartOCMeeting"), 0;
    }
    long TAVO_MGR_CALL JoinOCMeeting(const wchar_t*, unsigned long*) override {
        return RAN("JoinOCMeeting"), 0;
    }
    long TAVO_MGR_CALL InviteToMeeting(const wchar_t*, unsigned long*) override {
        return RAN("InviteToMeeting"), 0;
    }
    long TAVO_MGR_CALL GetStartedMeeting(wchar_t**) override { return RAN("GetStartedMeeting"), 0; }
    long TAVO_MGR_CALL GetInviteUrl(const wchar_t*, wchar_t**) override { return RAN("GetInviteUrl"), 0; }
    long TAVO_MGR_CALL StartScheduledMeeting(const wchar_t*, unsigned long*) override {
        return RAN("StartScheduledMeeting"), 0;
    }
    long TAVO_MGR_CALL GetLastError() override { return RAN("GetLastError"), 0; }
    long TAVO_MGR_CALL GeneralCall(const wchar_t*, wchar_t**) override { return RAN("GeneralCall"), 0; }
    bool TAVO_MGR_CALL CheckIfDisclaimerInProgress() override {
        return RAN("CheckIfDisclaimerInProgress"), false;
    }
    long TAVO_MGR_CALL CheckDisclaimerAndCloseCommunicationDlg() override {
        return RAN("CheckDisclaimerAndCloseCommunicationDlg"), 0;
    }
    bool TAVO_MGR_CALL CheckMeetingGoingStatus() override { return RAN("CheckMeetingGoingStatus"), false; }
};

class UpdateRecorder : public ITavoMgr_Update {
    bool TAVO_MGR_CALL CheckUpdate(const wchar_t*) override { return RAN("CheckUpdate"), false; }
    long TAVO_MGR_CALL Update(const wchar_t*, unsigned long*) override { return RAN("Update"), 0; }
    long TAVO_MGR_CALL GetLastError() override { return RAN("GetLastError"), 0; }
    long TAVO_MGR_CALL GetVersionInfo(const wchar_t*, wchar_t**) override { return RAN("GetVersionInfo"), 0; }
    long TAVO_MGR_CALL GeneralCall(const wchar_t*, wchar_t**) override { return RAN("GeneralCall"), 0; }
};

class MeetingSinkRecorder : public ITavoSink_Meeting {
    void TAVO_MGR_CALL OnMeetingChanged(const wchar_t*) override { RAN("OnMeetingChanged"); }
    void TAVO_MGR_CALL OnMeetingSearched(const wchar_t*, unsigned long) override { RAN("OnMeetingSearched"); }
    void TAVO_MGR_CALL OnInviteToMeet(const wchar_t*, unsigned long) override { RAN("OnInviteToMeet"); }
    void TAVO_MGR_CALL OnGetScheduledMeeting(const wchar_t*, unsigned long) override {
        RAN("OnGetScheduledMeeting");
    }
    void TAVO_MGR_CALL OnJoinMeetRejected(const wchar_t*) override { RAN("OnJoinMeetRejected"); }
    void TAVO_MGR_CALL OnGetMeetingData(const wchar_t*, unsigned long) override { RAN("OnGetMeetingData"); }
    void TAVO_MGR_CALL OnGeneralCall(const wchar_t*) override { RAN("OnGeneralCall"); }
    void TAVO_MGR_CALL OnError(const wchar_t*, unsigned long) override { RAN("OnError"); }
};

class SettingSinkRecorder : public ITavoSink_Setting {
    void TAVO_MGR_CALL OnGetSetting(const wchar_t*, unsigned long) override { RAN("OnGetSetting"); }
    void TAVO_MGR_CALL OnSetClose(unsigned long) override { RAN("OnSetClose"); }
    void TAVO_MGR_CALL OnError(const wchar_t*, unsigned long) override { RAN("OnError"); }
    void TAVO_MGR_CALL OnSetModify(const wchar_t*, unsigned long) override { RAN("OnSetModify"); }
    void TAVO_MGR_CALL OnGeneralCall(const wchar_t*) override { RAN("OnGeneralCall"); }
    void TAVO_MGR_CALL OnSetOpen(const wchar_t*, unsigned long) override { RAN("OnSetOpen"); }
};

class UpdateSinkRecorder : public ITavoSink_Update {
    void TAVO_MGR_CALL OnUpdateComplete(unsigned long) override { RAN("OnUpdateComplete"); }
    void TAVO_MGR_CALL OnGeneralCall(const wchar_t*) override { RAN("OnGeneralCall"); }
    void TAVO_MGR_CALL OnError(const wchar_t*, unsigned long) override { RAN("OnError"); }
};

class VerifyRecorder : public ITavoObjVerify {
    int TAVO_MGR_CALL Verify() override { return RAN("Verify"), 0; }
};

TEST(ManagerContract, ManagerInterfacesHaveTheirOperationsInContractSlots) {
    MgrRecorder mgr;
    ExpectSlots<ITavoMgr>(mgr,
                          {{0, "OpenSettingDlg", 2},
                           {1, "CloseSettingDlg", 1},
                           {2, "GetSetting", 2},
                           {3, "HasValidAccount", 0},
                           {4, "GetAccountInfo", 1},
                           {5, "IsSettingDlgOpened", 0},
                           {6, "GetLastError", 0},
                           {7, "GeneralCall", 2},
                           {8, "Logout", 0},
                           {9, "ClearAccout", 0},
                           {10, "KillTavoProcess", 0},
                           {11, "StartOCProcess", 0},
                           {12, "CheckUpdateProcess", 0},
                           {13, "RegisterObjVerify", 1},
                           {14, "UnregisterObjVerify", 1},
                           {15, "SetSettingSink", 1},
                           {16, "SetMeetingSink", 1},
                           {17, "SetUpdateSink", 1},
                           {18, "IsBusy", 0},
                           {19, "Destroy", 0}},
                          "ITavoMgr");
    MeetingRecorder meeting;
    ExpectSlots<ITavoMgr_Meeting>(meeting,
                                  {{0, "StartOCMeeting", 2},
                                   {1, "JoinOCMeeting", 2},
                                   {2, "InviteToMeeting", 2},
                                   {3, "GetStartedMeeting", 1},
                                   {4, "GetInviteUrl", 2},
                                   {5, "StartScheduledMeeting", 2},
                                   {6, "GetLastError", 0},
                                   {7, "GeneralCall", 2},
                                   {8, "CheckIfDisclaimerInProgress", 0},
                                   {9, "CheckDisclaimerAndCloseCommunicationDlg", 0},
                                   {10, "CheckMeetingGoingStatus", 0}},
                                  "ITavoMgr_Meeting");
    UpdateRecorder update;
    ExpectSlots<ITavoMgr_Update>(update,
                                 {{0, "CheckUpdate", 1},
                                  {1, "Update", 2},
                                  {2, "GetLastError", 0},
                                  {3, "GetVersionInfo", 2},
                                  {4, "GeneralCall", 2}},
                                 "ITavoMgr_Update");
}

TEST(ManagerContract, HostSinksAndVerifierHaveTheirOperationsInContractSlots) {
    MeetingSinkRecorder meeting;
    ExpectSlots<ITavoSink_Meeting>(meeting,
                                   {{0, "OnMeetingChanged", 1},
                                    {1, "OnMeetingSearched", 2},
                                    {2, "OnInviteToMeet", 2},
                                    {3, "OnGetScheduledMeeting", 2},
                                    {4, "OnJoinMeetRejected", 1},
                                    {5, "OnGetMeetingData", 2},
                                    {6, "OnGeneralCall", 1},
                                    {7, "OnError", 2}},
                                   "ITavoSink_Meeting");
    SettingSinkRecorder setting;
    ExpectSlots<ITavoSink_Setting>(setting,
                                   {{0, "OnGetSetting", 2},
                                    {1, "OnSetClose", 1},
                                    {2, "OnError", 2},
                                    {3, "OnSetModify", 2},
                                    {4, "OnGeneralCall", 1},
                                    {5, "OnSetOpen", 2}},
                                   "ITavoSink_Setting");
    UpdateSinkRecorder update;
    ExpectSlots<ITavoSink_Update>(
        update, {{0, "OnUpdateComplete", 1}, {1, "OnGeneralCall", 1}, {2, "OnError", 2}}, "ITavoSink_Update");
    VerifyRecorder verify;
    ExpectSlots<ITavoObjVerify>(verify, {{0, "Verify", 0}}, "ITavoObjVerify");
}

// The object CreateTavoMgr returns is three interface pointers: the host reaches the meeting and update
// interfaces at offsets 4 and 8 of the pointer it was given.
class WholeObject : public ITavoMgrObject {
    long TAVO_MGR_CALL OpenSettingDlg(const wchar_t*, unsigned long*) override { return 0; }
    long TAVO_MGR_CALL CloseSettingDlg(unsigned long*) override { return 0; }
    long TAVO_MGR_CALL GetSetting(const wchar_t*, unsigned long*) override { return 0; }
    bool TAVO_MGR_CALL HasValidAccount() override { return false; }
    long TAVO_MGR_CALL GetAccountInfo(wchar_t**) override { return 0; }
    bool TAVO_MGR_CALL IsSettingDlgOpened() override { return false; }
    long TAVO_MGR_CALL GetLastError() override { return 0; }
    long TAVO_MGR_CALL GeneralCall(const wchar_t*, wchar_t**) override { return 0; }
    long TAVO_MGR_CALL Logout() override { return 0; }
    long TAVO_MGR_CALL ClearAccout() override { return 0; }
    bool TAVO_MGR_CALL KillTavoProcess() override { return false; }
    long TAVO_MGR_CALL StartOCProcess() override { return 0; }
    bool TAVO_MGR_CALL CheckUpdateProcess() override { return false; }
    void TAVO_MGR_CALL RegisterObjVerify(ITavoObjVerify*) override {}
    void TAVO_MGR_CALL UnregisterObjVerify(ITavoObjVerify*) override {}
    void TAVO_MGR_CALL SetSettingSink(ITavoSink_Setting*) override {}
    void TAVO_MGR_CALL SetMeetingSink(ITavoSink_Meeting*) override {}
    void TAVO_MGR_CALL SetUpdateSink(ITavoSink_Update*) override {}
    long TAVO_MGR_CALL IsBusy() override { return 0; }
    void TAVO_MGR_CALL Destroy() override {}
    long TAVO_MGR_CALL StartOCMeeting(const wchar_t*, unsigned long*) override { return 0; }
    long TAVO_MGR_CALL JoinOCMeeting(const wchar_t*, unsigned long*) override { return 0; }
    long TAVO_MGR_CALL InviteToMeeting(const wchar_t*, unsigned long*) override { return 0; }
    long TAVO_MGR_CALL GetStartedMeeting(wchar_t**) override { return 0; }
    long TAVO_MGR_CALL GetInviteUrl(const wchar_t*, wchar_t**) override { return 0; }
    long TAVO_MGR_CALL StartScheduledMeeting(const wchar_t*, unsigned long*) override { return 0; }
    bool TAVO_MGR_CALL CheckIfDisclaimerInProgress() override { return false; }
    long TAVO_MGR_CALL CheckDisclaimerAndCloseCommunicationDlg() override { return 0; }
    bool TAVO_MGR_CALL CheckMeetingGoingStatus() override { return false; }
    bool TAVO_MGR_CALL CheckUpdate(const wchar_t*) override { return false; }
    long TAVO_MGR_CALL Update(const wchar_t*, unsigned long*) override { return 0; }
    long TAVO_MGR_CALL GetVersionInfo(const wchar_t*, wchar_t**) override { return 0; }
};

TEST(ManagerContract, ObjectIsThreeInterfacePointersInBaseOrder) {
    WholeObject whole;
    ITavoMgrObject* object = &whole;
    const char* base = reinterpret_cast<const char*>(object);
    EXPECT_EQ(reinterpret_cast<const char*>(static_cast<ITavoMgr*>(object)) - base, 0);
    EXPECT_EQ(reinterpret_cast<const char*>(static_cast<ITavoMgr_Meeting*>(object)) - base, 4);
    EXPECT_EQ(reinterpret_cast<const char*>(static_cast<ITavoMgr_Update*>(object)) - base, 8);
    EXPECT_EQ(sizeof(ITavoMgrObject), 12u);
}

}  // namespace
