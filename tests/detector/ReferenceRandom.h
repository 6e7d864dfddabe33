// An independent copy of the runtime's recurrence, so that tests can predict the
// draws without asking the generator under test.
#pragma once

#include <stdint.h>

class ReferenceRandom {
public:
    explicit ReferenceRandom(uint32_t seed) : m_state(seed) {}
    int32_t Next()
    {
        m_state = m_state * 214013u + 2531011u;
        return (int32_t)((m_state >> 16) & 0x7fff);
    }

private:
    uint32_t m_state;
};
