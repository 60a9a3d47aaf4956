#pragma once

#include <cstdint>

// Waits before trying again after a failure: the first wait, then twice the
// one before, up to the longest.
class Backoff
{
public:
    Backoff(uint64_t firstMs, uint64_t longestMs) : first(firstMs), longest(longestMs), wait(firstMs) {}

    // The wait before this try; the next one is longer.
    uint64_t next();
    // Back to the first wait, after a success.
    void reset() { wait = first; }

private:
    uint64_t first;
    uint64_t longest;
    uint64_t wait;
};
