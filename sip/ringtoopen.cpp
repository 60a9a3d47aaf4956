#include "ringtoopen.h"
#include "log.h"

#include <algorithm>

static const char who[] = "ring_to_open";

RingToOpen::RingToOpen(const Config &config, DoorLine &line) : config(config.ringToOpen), line(line)
{
    tmr_init(&offTimer);
    tmr_init(&claimTimer);
    line.subscribe(*this);
}

RingToOpen::~RingToOpen()
{
    tmr_cancel(&offTimer);
    tmr_cancel(&claimTimer);
}

void RingToOpen::set(bool wanted)
{
    if (wanted) {
        tmr_start(&offTimer, uint64_t(config.minutes) * 60000, expired, this);
        sipLog(logkey::ringToOpenOn, LogFields().add("minutes", config.minutes),
               "ring-to-open: on for %u min", config.minutes);
    } else {
        tmr_cancel(&offTimer);
        if (on)
            sipLog(logkey::ringToOpenOff, "ring-to-open: off");
    }
    if (on == wanted)
        return;
    on = wanted;
    if (changed)
        changed(on);
}

void RingToOpen::start()
{
    if (config.on)
        set(true);
}

void RingToOpen::reload(const Config &fresh)
{
    const bool switched = fresh.ringToOpen.on != config.on;
    config = fresh.ringToOpen;
    if (switched)
        set(config.on);
}

void RingToOpen::expired(void *arg)
{
    RingToOpen *self = static_cast<RingToOpen *>(arg);
    sipLog(logkey::ringToOpenOff, "ring-to-open: %u min are over", self->config.minutes);
    self->set(false);
}

void RingToOpen::ring(int apartment, int)
{
    if (!on || !config.apartments.count(apartment))
        return;
    if (!line.claim(*this, who).empty())
        return;
    mine = true;
    if (!line.pickup(*this, who, *this).empty()) {
        line.drop(*this, who);
        letGo();
        return;
    }
    tmr_start(&claimTimer, claimLimitMs, claimExpired, this);
}

void RingToOpen::claimExpired(void *arg)
{
    RingToOpen *self = static_cast<RingToOpen *>(arg);
    if (!self->mine || self->line.owner() != self)
        return;
    std::string what = "apartment " + std::to_string(self->line.apartment());
    if (self->line.door() >= 0)
        what += " door " + std::to_string(self->line.door());
    sipLog(logkey::ringToOpenTimeout,
           "ring-to-open: %s: the intercom reported no %s within %llu s; ending the call", what.c_str(),
           self->line.state() == DoorLine::State::Ringing ? "pickup" : "opening",
           (unsigned long long)(claimLimitMs / 1000));
    self->line.drop(*self, who);
    self->letGo();
}

void RingToOpen::letGo()
{
    mine = false;
    tmr_cancel(&claimTimer);
}

void RingToOpen::lineChanged(DoorLine::State state)
{
    if (!mine)
        return;
    if (state == DoorLine::State::Talking && line.owner() == this) {
        // Switched off (by hand, SIGHUP or its time), or the apartment taken
        // out, since the ring: nobody asked for this door any more.
        const bool withdrawn = !on || !config.apartments.count(line.apartment());
        if (withdrawn)
            sipLog(logkey::ringToOpenWithdrawn,
                   "ring-to-open: apartment %d: no longer on for it: no opening; ending the call", line.apartment());
        if (withdrawn || !line.open(*this, who, "ring_to_open").empty()) {
            line.drop(*this, who);
            letGo();
        }
    } else if (state == DoorLine::State::Talking || state == DoorLine::State::Idle) {
        // Taken at the apartment's handset, or over.
        letGo();
    }
}

void RingToOpen::doorOpened(int door)
{
    if (!mine || line.owner() != this)
        return;
    std::string what = "apartment " + std::to_string(line.apartment());
    if (door >= 0)
        what += " door " + std::to_string(door);
    sipLog(logkey::doorConfirmed, "ring-to-open: %s: door opened", what.c_str());
    line.drop(*this, who);
    letGo();
}

void RingToOpen::callEnded()
{
    letGo();
}

void RingToOpen::toDaemon(int16_t *samples, size_t count)
{
    std::fill(samples, samples + count, int16_t(0));
}
