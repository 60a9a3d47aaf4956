#pragma once

#include <re.h>

#include <cstdint>

// Gives the heap's free pages back to the system once a minute. malloc
// keeps the pages of freed blocks that lie below a block still in use; a
// page of the heap, once touched, stays resident for good. Over months of
// calls the heap's pages get touched one after another (each call's
// allocations land a little differently), and the resident size crept up
// towards the whole heap with nothing more in use. A trim a minute costs a
// few microseconds.
class HeapTrim
{
public:
    HeapTrim();
    ~HeapTrim();
    HeapTrim(const HeapTrim &) = delete;
    HeapTrim &operator=(const HeapTrim &) = delete;

private:
    static const uint64_t everyMs = 60000;

    static void due(void *arg);

    struct tmr timer;
};
