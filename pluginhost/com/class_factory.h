// The class object of each of the host's classes: every client of a class gets the one live instance,
// found through the running object table, where the factory registers each instance it creates. The
// registration goes with the instance: a stale entry would hide the next instance from the look-up and
// give the next clients instances of their own.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <atomic>

// Creates a new instance of a class (aggregation allowed) and returns the requested interface.
using TavoCreateInstanceFn = HRESULT (*)(IUnknown* outer, REFIID iid, void** object);
// The creation function of a class; null for a class without an implementation.
using TavoClassCreatorFn = TavoCreateInstanceFn (*)(const CLSID& clsid);

class CTavoClassFactory_ProcessSingleton : public IClassFactory {
  public:
    // `create` may be null: the class then is not available (CLASS_E_CLASSNOTAVAILABLE).
    CTavoClassFactory_ProcessSingleton(const CLSID& clsid, TavoCreateInstanceFn create);
    virtual ~CTavoClassFactory_ProcessSingleton();
    CTavoClassFactory_ProcessSingleton(const CTavoClassFactory_ProcessSingleton&) = delete;
    CTavoClassFactory_ProcessSingleton& operator=(const CTavoClassFactory_ProcessSingleton&) = delete;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    // IClassFactory
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
    STDMETHODIMP LockServer(BOOL lock) override;

  private:
    HRESULT CreateInstanceLocked(IUnknown* outer, REFIID iid, void** object);

    std::atomic<LONG> m_refs{1};
    CLSID m_clsid;
    TavoCreateInstanceFn m_create;
};

// Revokes the running object table registration of the instance whose identity (its IUnknown) is
// `identity`, if it has one. Called by an instance at its end.
void TavoRevokeActiveObject(IUnknown* identity);

// The four class objects, registered with the system for the server's run.
class CTavoClassObjects {
  public:
    // Registers a class object for each class (CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE) whose instances
    // `creatorOf` creates; stops at the first failure and gives its result.
    HRESULT RegisterAll(TavoClassCreatorFn creatorOf);
    // Revokes what was registered and releases the factories.
    void RevokeAll();

  private:
    struct Entry {
        CTavoClassFactory_ProcessSingleton* factory = nullptr;
        DWORD cookie = 0;
    };
    Entry m_entries[4];
};
