#pragma once
// A counted object for tests: counts its destructions (gDestroyed), and its
// constructor and its destruction both hand the object out as an interface,
// the way nodes do.

#include <atomic>
#include <stdexcept>

#include "ui_MyInterfacedObject.h"

namespace kelvo::testing {

inline std::atomic<int> gDestroyed{0};

class TProbe : public TMyInterfacedObject {
public:
    // Fail: 0 builds, 1 fails after someone took a reference, 2 fails alone.
    explicit TProbe(int Fail = 0) : FThrow(Fail)
    {
        IntfPtr<IUnknown> self(static_cast<IUnknown*>(this));  // taken and dropped at once
    }
    ~TProbe() override { ++gDestroyed; }
    static inline IntfPtr<IUnknown> Kept;  // a reference taken during construction

protected:
    void AfterConstruction() override
    {
        if (FThrow) {
            if (FThrow == 1)
                Kept = static_cast<IUnknown*>(this);
            throw std::runtime_error("construction failed");
        }
    }
    void BeforeDestruction() override
    {
        IntfPtr<IUnknown> self(static_cast<IUnknown*>(this));  // 0 -> 1 -> 0 again
        Kept2 = RefCount();
    }

public:
    static inline int32_t Kept2 = -1;

private:
    int FThrow;
};

}  // namespace kelvo::testing
