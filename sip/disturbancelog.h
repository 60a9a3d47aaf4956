#pragma once

#include <cstdint>
#include <string>

// Tells, while a call runs, when its audio was disturbed: the phone's audio
// ran out (underruns), packets from the phone were lost, the daemon fell
// behind and our clock skipped ticks, or we were starved and our clock's
// ticks came late (the daemon may have run out of our frames). The first disturbance of a burst is
// logged at once, with where it happened in the audio sent to the phone;
// further ones are gathered into at most one line a second, so a starved
// machine does not also flood the log. The end-of-call line has the totals.
class DisturbanceLog
{
public:
    // A new call: its counts start from zero.
    void start();
    // The call's counts so far, and the seconds of audio sent to its phone.
    // Called once per tick of the daemon's clock.
    void update(const std::string &label, double at, unsigned underruns, unsigned lost, unsigned skipped,
                unsigned late);

private:
    void write(const std::string &label, double at, uint64_t now);

    unsigned underruns = 0, lost = 0, skipped = 0, late = 0;        // counts already logged
    unsigned nUnderruns = 0, nLost = 0, nSkipped = 0, nLate = 0;    // counts so far
    bool held = false;          // disturbances not logged yet
    double heldFrom = 0;        // where the first of them happened
    bool wrote = false;
    uint64_t lastLine = 0;      // SteadyClock::ms() of the last line
};
