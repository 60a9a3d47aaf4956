#include "pinbudget.h"

void PinBudget::forgetOld(uint64_t now)
{
    // A clock that went back counts as no time passed.
    while (!times.empty() && now >= times.front() && now - times.front() >= period)
        times.pop_front();
}

bool PinBudget::wrong(uint64_t now)
{
    forgetOld(now);
    const bool wasClosed = times.size() >= budget;
    times.push_back(now);
    while (times.size() > budget)
        times.pop_front();
    return !wasClosed && times.size() >= budget;
}

bool PinBudget::closed(uint64_t now)
{
    forgetOld(now);
    return times.size() >= budget;
}
