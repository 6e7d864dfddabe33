// Holds on a component by the module's window and timer procedures, which run
// for it outside its operations: what a procedure asks of the component (its
// base, ComponentBase.h, keeps the holds and the parts of its release they
// defer).
#pragma once

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
