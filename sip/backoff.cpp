#include "backoff.h"

uint64_t Backoff::next()
{
    const uint64_t now = wait < longest ? wait : longest;
    wait = now > longest / 2 ? longest : now * 2;
    return now;
}
