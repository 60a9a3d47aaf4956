#pragma once

#include <cstdint>

// Milliseconds that only ever go forward (CLOCK_MONOTONIC), for what must not
// follow the wall clock: the life of a nonce, the lock-out and the budget of
// wrong PINs. libre's tmr_jiffies() is the time of day, which NTP or an
// administrator may step back or forward.
class SteadyClock
{
public:
    static uint64_t ms();
    static uint64_t us();
};
