#include "disturbancelog.h"
#include "log.h"
#include "steadyclock.h"

#include <cstdio>

namespace {

const uint64_t minIntervalMs = 1000;

} // namespace

void DisturbanceLog::start()
{
    *this = DisturbanceLog();
}

void DisturbanceLog::update(const std::string &label, double at, unsigned underruns, unsigned lost, unsigned skipped,
                            unsigned late)
{
    const bool more = underruns != nUnderruns || lost != nLost || skipped != nSkipped || late != nLate;
    if (!more && !held)
        return;
    nUnderruns = underruns;
    nLost = lost;
    nSkipped = skipped;
    nLate = late;
    if (more && !held) {
        held = true;
        heldFrom = at;
    }
    const uint64_t now = SteadyClock::ms();
    if (!wrote || now - lastLine >= minIntervalMs)
        write(label, at, now);
}

void DisturbanceLog::write(const std::string &label, double at, uint64_t now)
{
    char where[64];
    if (at - heldFrom < 0.005)
        snprintf(where, sizeof where, "at %.2f s", heldFrom);
    else
        snprintf(where, sizeof where, "from %.2f s to %.2f s", heldFrom, at);
    char from[16], to[16];
    snprintf(from, sizeof from, "%.2f", heldFrom);
    snprintf(to, sizeof to, "%.2f", at - heldFrom < 0.005 ? heldFrom : at);
    sipLog(logkey::audioDisturbed,
           LogFields()
               .add("from", from)
               .add("to", to)
               .add("underruns", nUnderruns - underruns)
               .add("lost", nLost - lost)
               .add("skipped", nSkipped - skipped)
               .add("late", nLate - late),
           "%s: audio disturbed %s of the call: %u underruns, %u packets lost, %u ticks skipped, %u late",
           label.c_str(), where, nUnderruns - underruns, nLost - lost, nSkipped - skipped, nLate - late);
    underruns = nUnderruns;
    lost = nLost;
    skipped = nSkipped;
    late = nLate;
    held = false;
    wrote = true;
    lastLine = now;
}
