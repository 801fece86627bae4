// Critical sections of the host: one per COM instance (its list of event sinks) and the process-wide one
// that serialises the class factories' CreateInstance.
#pragma once

#include <windows.h>

class CTavoCriticalSection {
  public:
    CTavoCriticalSection() { InitializeCriticalSection(&m_section); }
    virtual ~CTavoCriticalSection() { DeleteCriticalSection(&m_section); }
    CTavoCriticalSection(const CTavoCriticalSection&) = delete;
    CTavoCriticalSection& operator=(const CTavoCriticalSection&) = delete;

    void Lock() { EnterCriticalSection(&m_section); }
    void Unlock() { LeaveCriticalSection(&m_section); }

  private:
    CRITICAL_SECTION m_section;
};

class CTavoGlobalCS : public CTavoCriticalSection {};

// The process's global lock, built before the entry point runs and deleted at exit.
extern CTavoGlobalCS g_tavoGlobalCS;

// Holds a critical section for a scope.
template <class Section>
class CTavoLockGuard {
  public:
    explicit CTavoLockGuard(Section& section) : m_section(section) { m_section.Lock(); }
    ~CTavoLockGuard() { m_section.Unlock(); }
    CTavoLockGuard(const CTavoLockGuard&) = delete;
    CTavoLockGuard& operator=(const CTavoLockGuard&) = delete;

  private:
    Section& m_section;
};
