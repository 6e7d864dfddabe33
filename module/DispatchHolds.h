// Holds on a component by the module's window and timer procedures, which run
// for it outside its operations, and the parts of its release they defer.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <atomic>

// What the module's window and timer procedures hold while they run for a
// component outside its operations (a read notification, a timer tick).
class DispatchHolder {
public:
    // Taken under the lock that cuts the window or the route off, so that a
    // procedure either holds the component or finds nothing. False once its
    // release has begun: the procedure then leaves it alone.
    virtual bool TakeDispatchHold() = 0;
    // The last hold finishes a release that was left to it: the component may
    // be gone afterwards.
    virtual void EndDispatchHold() = 0;

protected:
    ~DispatchHolder() = default;
};

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
