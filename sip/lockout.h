#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>

// Callers who got the PIN wrong too often: after `tries` wrong PINs within
// the period, calls from that caller are refused for the period, counted
// from the last wrong PIN. Callers are named by their allow-list entry, so
// the table never holds more than the allow-list. Times in ms; a clock that
// goes back counts as no time passed.
class Lockout
{
public:
    explicit Lockout(uint64_t periodMs, unsigned tries = 3) : period(periodMs), tries(tries) {}

    void setPeriod(uint64_t periodMs) { period = periodMs; }
    // Counts a wrong PIN; true when the caller is locked out from now on.
    bool wrong(const std::string &caller, uint64_t now);
    bool locked(const std::string &caller, uint64_t now);

private:
    void forgetOld(std::deque<uint64_t> &times, uint64_t now) const;

    uint64_t period;
    unsigned tries;
    std::map<std::string, std::deque<uint64_t>> wrongAt;
};
