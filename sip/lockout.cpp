#include "lockout.h"

void Lockout::forgetOld(std::deque<uint64_t> &times, uint64_t now) const
{
    // A clock that went back counts as no time passed.
    while (!times.empty() && now >= times.front() && now - times.front() >= period)
        times.pop_front();
}

bool Lockout::wrong(const std::string &caller, uint64_t now)
{
    std::deque<uint64_t> &times = wrongAt[caller];
    forgetOld(times, now);
    times.push_back(now);
    while (times.size() > tries)
        times.pop_front();
    return times.size() >= tries;
}

bool Lockout::locked(const std::string &caller, uint64_t now)
{
    auto it = wrongAt.find(caller);
    if (it == wrongAt.end())
        return false;
    std::deque<uint64_t> &times = it->second;
    // Locked while the last wrong PIN is recent and enough others came
    // within the period before it.
    if (times.size() >= tries && (now < times.back() || now - times.back() < period)
        && times.back() - times.front() < period)
        return true;
    forgetOld(times, now);
    if (times.empty())
        wrongAt.erase(it);
    return false;
}
