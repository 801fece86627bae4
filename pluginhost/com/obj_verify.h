// The liveness verifier an instance hands the manager: Verify pings the instance's clients.
#pragma once

#include "manager/tavo_mgr.h"

// What a verifier verifies: the instance it belongs to.
class CTavoVerifiable {
  public:
    // The number of live event sinks; sinks of clients that are gone are dropped on the way.
    virtual int VerifyClients() = 0;

  protected:
    ~CTavoVerifiable() = default;
};

class CTavoObjVerify : public ITavoObjVerify {
  public:
    explicit CTavoObjVerify(CTavoVerifiable& owner) : m_owner(owner) {}
    CTavoObjVerify(const CTavoObjVerify&) = delete;
    CTavoObjVerify& operator=(const CTavoObjVerify&) = delete;

    int TAVO_MGR_CALL Verify() override {
        tavo::host::ManagerCall fromManager;  // the pings wait for the clients
        return m_owner.VerifyClients();
    }

  private:
    CTavoVerifiable& m_owner;
};
