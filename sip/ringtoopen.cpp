#include "ringtoopen.h"
#include "log.h"

#include <algorithm>

static const char who[] = "ring_to_open";

RingToOpen::RingToOpen(const Config &config, DoorLine &line) : config(config.ringToOpen), line(line)
{
    tmr_init(&offTimer);
    line.subscribe(*this);
}

RingToOpen::~RingToOpen()
{
    tmr_cancel(&offTimer);
}

void RingToOpen::set(bool wanted)
{
    if (wanted) {
        tmr_start(&offTimer, uint64_t(config.minutes) * 60000, expired, this);
        sipLog("ring-to-open: on for %u min", config.minutes);
    } else {
        tmr_cancel(&offTimer);
        if (on)
            sipLog("ring-to-open: off");
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
    sipLog("ring-to-open: %u min are over", self->config.minutes);
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
        mine = false;
    }
}

void RingToOpen::lineChanged(DoorLine::State state)
{
    if (!mine)
        return;
    if (state == DoorLine::State::Talking && line.owner() == this) {
        if (!line.open(*this, who).empty())
            line.drop(*this, who);
    } else if (state == DoorLine::State::Talking || state == DoorLine::State::Idle) {
        // Taken at the apartment's handset, or over.
        mine = false;
    }
}

void RingToOpen::doorOpened(int door)
{
    if (!mine || line.owner() != this)
        return;
    std::string what = "apartment " + std::to_string(line.apartment());
    if (door >= 0)
        what += " door " + std::to_string(door);
    sipLog("ring-to-open: %s: door opened", what.c_str());
    line.drop(*this, who);
}

void RingToOpen::callEnded()
{
    mine = false;
}

void RingToOpen::toDaemon(int16_t *samples, size_t count)
{
    std::fill(samples, samples + count, int16_t(0));
}
