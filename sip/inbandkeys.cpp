#include "inbandkeys.h"

#include <re.h>
#include <rem.h>

namespace {

const unsigned srate = 8000;
// Below this the block is silence, not a tone (about -50 dBFS); the door's
// side counts quieter tones, which a phone's loudspeaker may make loud.
const double phoneFloorRms = 100;
const double doorFloorRms = 30;

} // namespace

InbandKeys::InbandKeys(KeyHandler onKey) : onKey(std::move(onKey))
{
    dtmf_dec_alloc(&phoneDec, srate, 1, phoneHeard, this);
    dtmf_dec_alloc(&doorDec, srate, 1, doorHeard, this);
}

InbandKeys::~InbandKeys()
{
    mem_deref(phoneDec);
    mem_deref(doorDec);
}

void InbandKeys::toPhone(const int16_t *samples, size_t count, uint64_t nowMs)
{
    now = nowMs;
    if (doorDec)
        dtmf_dec_probe(doorDec, samples, count);
    doorMeter.feed(samples, count, doorBlock, this);
}

void InbandKeys::fromPhone(const int16_t *samples, size_t count, uint64_t nowMs)
{
    now = nowMs;
    if (phoneDec)
        dtmf_dec_probe(phoneDec, samples, count);
    phoneMeter.feed(samples, count, phoneBlock, this);
}

void InbandKeys::phoneHeard(char key, void *arg)
{
    InbandKeys *self = static_cast<InbandKeys *>(arg);
    if (ToneMeter::keyIndex(key) >= 0)
        self->candidate = key;
}

void InbandKeys::doorHeard(char key, void *arg)
{
    InbandKeys *self = static_cast<InbandKeys *>(arg);
    const int k = ToneMeter::keyIndex(key);
    if (k >= 0)
        self->doorDecoded |= uint16_t(1u << k);
}

void InbandKeys::doorBlock(void *arg)
{
    InbandKeys *self = static_cast<InbandKeys *>(arg);
    uint16_t keys = self->doorDecoded;
    self->doorDecoded = 0;
    for (int k = 0; k < 16; ++k)
        if (self->doorMeter.stands(k, doorDb, doorFloorRms))
            keys |= uint16_t(1u << k);
    self->door[self->doorNext] = {self->now, keys};
    self->doorNext = (self->doorNext + 1) % history;
}

void InbandKeys::phoneBlock(void *arg)
{
    InbandKeys *self = static_cast<InbandKeys *>(arg);
    for (int k = 0; k < 16; ++k) {
        if (!self->phoneMeter.stands(k, minDb, phoneFloorRms)) {
            self->run[k] = 0;
            continue;
        }
        if (self->run[k]++ == 0)
            self->runStart[k] = self->now;
    }
    if (!self->candidate)
        return;
    const int k = ToneMeter::keyIndex(self->candidate);
    if (self->run[k] == 0) {
        // Heard, but not clean: too weak against the rest, or too short.
        self->candidate = 0;
        return;
    }
    if (self->run[k] < cleanBlocks)
        return;
    const char key = self->candidate;
    self->candidate = 0;
    const uint64_t began = self->runStart[k];
    bool echo = false;
    for (const DoorBlock &b : self->door)
        if ((b.keys & (1u << k)) && b.ms <= began && b.ms + echoMs >= began)
            echo = true;
    self->onKey(key, echo);
}
