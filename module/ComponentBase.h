// The base of every component of the module: the five common operations, the call
// guard, the dispatch holds of the module's window and timer procedures, and the
// deferred release that lets a component be released from inside
// one of its own operations (for example from a callback that operation makes).
#pragma once

#include <windows.h>

#include <atomic>

#include "DispatchHolds.h"
#include "HostSettings.h"
#include "LinkrateDetector.h"
#include "ModuleState.h"

// The dispatch holds of one component and the parts of its release they defer.
// A release on the holder's own thread (a sink inside the procedure) tears down
// at once and leaves only the destruction; a release on another thread leaves
// the teardown as well, since the procedure is still using what it would
// free, and cuts the component off from its sink at once. One lock for every
// component: the steps under it are a few stores.
class DispatchHolds {
public:
    bool Take();
    // True when a release was left to this, the last hold.
    bool End();
    // Release's step before the teardown: false when another thread's procedure
    // holds the component; that procedure's last hold then goes on with it.
    bool BeginTeardown();
    // Release's step before the destruction: false when a hold remains.
    bool BeginDestruction();
    // A release on another thread has begun: nothing may reach the sink.
    bool CutOff() const { return bCutOff.load(); }

private:
    int32_t nHolds = 0;
    DWORD dwHolderThread = 0;
    bool bRefused = false;  // the teardown has begun: no new hold
    bool bReleaseDue = false;
    std::atomic<bool> bCutOff{false};
};

// One lock for every component's holds.
inline SRWLOCK g_dispatchHoldsLock = SRWLOCK_INIT;

class DispatchHoldsLock {
public:
    DispatchHoldsLock() { AcquireSRWLockExclusive(&g_dispatchHoldsLock); }
    ~DispatchHoldsLock() { ReleaseSRWLockExclusive(&g_dispatchHoldsLock); }
    DispatchHoldsLock(const DispatchHoldsLock&) = delete;
    DispatchHoldsLock& operator=(const DispatchHoldsLock&) = delete;
};


inline bool DispatchHolds::Take()
{
    DispatchHoldsLock lock;
    if (bRefused || bReleaseDue)
        return false;
    if (nHolds++ == 0)
        dwHolderThread = GetCurrentThreadId();
    return true;
}

inline bool DispatchHolds::End()
{
    DispatchHoldsLock lock;
    if (--nHolds != 0 || !bReleaseDue)
        return false;
    bReleaseDue = false;
    return true;
}

inline bool DispatchHolds::BeginTeardown()
{
    DispatchHoldsLock lock;
    if (nHolds != 0 && dwHolderThread != GetCurrentThreadId()) {
        bReleaseDue = true;
        bCutOff = true;
        return false;
    }
    bRefused = true;
    return true;
}

inline bool DispatchHolds::BeginDestruction()
{
    DispatchHoldsLock lock;
    if (nHolds == 0)
        return true;
    bReleaseDue = true;
    return false;
}

// Guards one interface operation: counts it as in progress and, when the last
// operation in progress of a released component returns, completes the release.
class CCallGuard {
public:
    CCallGuard(int32_t* alive, int32_t* busyCount, IComponent* component);
    ~CCallGuard();
    CCallGuard(const CCallGuard&) = delete;
    CCallGuard& operator=(const CCallGuard&) = delete;

private:
    int32_t* pAlive;
    int32_t* pBusyCount;
    IComponent* pComponent;
};

template <class TInterface, int32_t kComponentId, int32_t kVersion>
class CComponentBase : public TInterface, public DispatchHolder {
public:
    int32_t LRD_THISCALL GetComponentID() override { return kComponentId; }
    int32_t LRD_THISCALL GetVersion() override { return kVersion; }

    void LRD_THISCALL Release(int32_t force) override
    {
        LastErrorOnReturn keep;
        if (ModuleSafeFlag() == 0)
            return;
        if (bNoRelease != 0 && force == 0)
            return;
        // One release at a time, whoever asks: the host on any thread, or
        // ZelvoDllFreeMap on another. A second asker while one is under way finds
        // nothing to do, so the teardown runs once and the component is destroyed
        // once. The claim is let go only when an operation in progress defers it.
        if (bReleasing.exchange(1) != 0)
            return;
        ContinueRelease();
    }

    bool TakeDispatchHold() override { return dispatchHolds.Take(); }
    void EndDispatchHold() override
    {
        if (dispatchHolds.End())
            ContinueRelease();
    }

    int32_t LRD_THISCALL GetAutoRelease() override { return bAutoRelease; }
    void LRD_THISCALL SetAutoRelease(int32_t value) override { bAutoRelease = value; }

    virtual ~CComponentBase() {}
    // The component's own teardown, run once by Release before the destruction.
    virtual void PreDestroy() = 0;
    // Copies registry (or, when it is null or empty, the module's registry path)
    // into buffer when it fits. For the host; the module does not call it.
    virtual void GetDLLRegistry(const char* registry, char* buffer, int32_t bufferSize)
    {
        char modulePath[kPathBufferSize];
        if (registry == nullptr || registry[0] == '\0') {
            CopyRegistryPath(modulePath);
            registry = modulePath;
        }
        if (buffer != nullptr && bufferSize > 0)
            SafeStrCopy(buffer, bufferSize, registry);
    }

protected:
    CComponentBase() = default;

    // Every interface operation of a concrete component starts with this guard.
    CCallGuard EnterCall() { return CCallGuard(&bAlive, &nBusyCount, this); }
    // A release on another thread has begun while a procedure of the module's
    // held the component: the sink hears nothing more.
    bool ReleasedElsewhere() const { return dispatchHolds.CutOff(); }

    int32_t bAlive = 1;
    int32_t nBusyCount = 0;
    int32_t bNoRelease = 0;
    int32_t bAutoRelease = 0;
    // A release of this component is under way.
    std::atomic<int32_t> bReleasing{0};

private:
    // The release after its claim, on the releasing thread or on the thread of
    // the hold or the operation it was left to.
    void ContinueRelease()
    {
        if (bAlive != 0) {
            if (!dispatchHolds.BeginTeardown())
                return;
            PreDestroy();
            bAlive = 0;
        }
        if (nBusyCount != 0) {
            bReleasing = 0;
            return;  // the guard of the last operation in progress finishes the release
        }
        if (!dispatchHolds.BeginDestruction())
            return;  // the last dispatch hold finishes it
        int32_t id = GetComponentID();
        // The record goes while the memory is still ours: the moment it is freed,
        // another thread's new component may be given this very address.
        ComponentRemoval removal(this, id != (int32_t)LRD_COMPONENT_FACTORY_ID ? 1 : 0);
        delete this;
    }

    DispatchHolds dispatchHolds;
};
