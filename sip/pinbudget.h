#pragma once

#include <cstdint>
#include <deque>

// Wrong PINs of all callers together: once `budget` of them came within the
// period, calling in is closed for everyone until the oldest of them is a
// period old (or reset(), on SIGHUP). Rotating through the allowed names, or
// waiting out each caller's lock-out, buys no more guesses than this. Times
// in ms; a clock that goes back counts as no time passed.
class PinBudget
{
public:
    static const uint64_t day = 24ull * 3600 * 1000;

    explicit PinBudget(unsigned budget, uint64_t periodMs = day) : budget(budget), period(periodMs) {}

    void setBudget(unsigned n) { budget = n; }
    // Counts a wrong PIN; true when that one spent the budget.
    bool wrong(uint64_t now);
    bool closed(uint64_t now);
    // When calling in opens again (only while closed).
    uint64_t opensAt() const { return times.empty() ? 0 : times.front() + period; }
    void reset() { times.clear(); }

private:
    void forgetOld(uint64_t now);

    unsigned budget;
    uint64_t period;
    std::deque<uint64_t> times;     // the last `budget` wrong PINs within the period
};
