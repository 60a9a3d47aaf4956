#include "playout.h"

#include "consolevocabulary.h"

#include <re.h>
#include <rem.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

const unsigned windowTicks = 62;       // about one second of 16 ms frames
const size_t frameSamples = ConsoleVocabulary::audioFrameSamples;  // the daemon's frame, what one read takes
// One sample split every fourth frame: follows a phone up to 0.19 % slow
// (crystals are within 0.01 %) and shifts the pitch by no more. Merging goes
// up to one sample a frame (0.8 %) for the second after a surplus was seen.
const unsigned correctEvery = 4;
// Kept over a frame and the packets' spread: the step of the lowest level,
// and what a second's jitter may exceed the largest seen lately by.
// As the phone's packets slide past our frames, the lowest level of a second
// steps by up to 32 samples (16 ms frames read 20 ms packets).
const size_t marginSamples = 40;       // 5 ms
// The spread remembered falls by this much each second while the packets
// still come with some spread.
const size_t spreadDecay = 2;
// Once calmSeconds seconds in a row had at most half the spread remembered,
// the packets are steady again and each further such second halves it: a
// hold-up (a busy moment of either end, a burst on the network) costs delay
// for a few seconds, not for the rest of the call. A hold-up that comes back
// after such a fall makes the calm it takes longer than the time between the
// two (twice as long at least, up to maxCalmSeconds): a phone whose packets
// come late every few seconds keeps the level they need after the first
// time.
const unsigned calmSeconds = 3;
const unsigned maxCalmSeconds = 48;
const uint64_t measureUs = 1000000;    // the packets' spread is measured each second
const uint32_t maxFilledGap = 480;     // up to three lost 20 ms packets become silence
const size_t maxFrame = 1024;

// Index i (1 <= i < count - 1) where samples i and i + 1 differ least.
size_t flattest(const int16_t *s, size_t count)
{
    size_t best = 1;
    int bestDiff = 1 << 30;
    for (size_t i = 1; i + 1 < count; ++i) {
        const int d = std::abs(int(s[i + 1]) - int(s[i]));
        if (d < bestDiff) {
            bestDiff = d;
            best = i;
        }
    }
    return best;
}

} // namespace

Playout::Playout(unsigned targetSamples)
    : target(targetSamples)
{
    jbuf_alloc(&jb, 0, 16);
    // read() decides when it plays (it holds the target and one frame) and
    // reads nothing before; bounded at 1 s over the target, beyond which the
    // oldest packet is dropped.
    aubuf_alloc(&ab, 2 * frameSamples, 2 * (size_t(target) + 8000));
}

Playout::~Playout()
{
    mem_deref(jb);
    mem_deref(ab);
}

void Playout::flush()
{
    jbuf_flush(jb);
    aubuf_flush(ab);
    haveNext = false;
    haveSsrc = false;
    playing = false;
    mode = Steady;
    toMerge = 0;
    ticks = 0;
    minLevel = SIZE_MAX;
    timing = false;
    measured = false;
    spread = 0;
    calm = 0;
    calmNeeded = calmSeconds;
    fellFast = false;
    sinceHoldUp = 0;
}

size_t Playout::level() const
{
    return aubuf_cur_size(ab) / 2;
}

size_t Playout::currentTarget() const
{
    if (!measured)
        return target;
    // The second under way counts at once: a packet that comes late now
    // raises the target before the level runs out a second time.
    const uint64_t now = uint64_t(transitHigh - transitLow) / 125;
    const size_t need = frameSamples + marginSamples + std::max(spread, size_t(std::min<uint64_t>(now, target)));
    return std::min(need, size_t(target));
}

void Playout::measure(const struct rtp_header &hdr, uint64_t arrivalUs)
{
    if (!timing) {
        timing = true;
        warmedUp = false;
        baseTs = hdr.ts;
        windowUs = arrivalUs;
        transitLow = transitHigh = int64_t(arrivalUs);
        return;
    }
    // Any RTP time, however hostile, gives a transit; one far off only
    // makes the spread large, and the target stays at its ceiling.
    const int64_t transit = int64_t(arrivalUs) - int64_t(int32_t(hdr.ts - baseTs)) * 125;
    if (int64_t(arrivalUs - windowUs) >= int64_t(measureUs)) {
        // The first second of a stream does not count: the phone's sender
        // and both ends of the call are still starting up, and what they
        // bunch then would hold the level up for a minute.
        const size_t last = size_t(std::min<uint64_t>(uint64_t(transitHigh - transitLow) / 125, target));
        if (warmedUp)
            remember(last);
        warmedUp = true;
        windowUs = arrivalUs;
        transitLow = transitHigh = transit;
    } else {
        transitLow = std::min(transitLow, transit);
        transitHigh = std::max(transitHigh, transit);
    }
}

void Playout::remember(size_t last)
{
    ++sinceHoldUp;
    if (!measured) {
        spread = last;
        measured = true;
        return;
    }
    if (last > spread) {
        if (last > marginSamples) {
            // A hold-up: after a fall it came back, long after it starts over.
            if (sinceHoldUp > maxCalmSeconds)
                calmNeeded = calmSeconds;
            else if (fellFast)
                calmNeeded = std::min(std::max(2 * calmNeeded, sinceHoldUp + 1), maxCalmSeconds);
            fellFast = false;
            sinceHoldUp = 0;
        }
        calm = 0;
        spread = last;
        return;
    }
    if (2 * last > spread) {
        calm = 0;
    } else if (++calm >= calmNeeded) {
        fellFast = fellFast || spread > marginSamples;
        spread = std::max(spread / 2, last);
        return;
    }
    spread = std::max(spread > spreadDecay ? spread - spreadDecay : 0, last);
}

void Playout::put(const struct rtp_header &hdr, const int16_t *samples, size_t count, uint64_t arrivalUs)
{
    if (!jb || !ab || !count)
        return;
    if (haveSsrc && hdr.ssrc != ssrc) {
        // The jitter buffer would take the new numbers for late ones; the
        // transit starts over too, the spread seen so far stays.
        jbuf_flush(jb);
        haveNext = false;
        timing = false;
    }
    // Late packets and duplicates count too: they show what the network does.
    measure(hdr, arrivalUs);
    haveSsrc = true;
    ssrc = hdr.ssrc;
    struct mbuf *mb = mbuf_alloc(count * 2);
    if (!mb)
        return;
    mbuf_write_mem(mb, reinterpret_cast<const uint8_t *>(samples), count * 2);
    mb->pos = 0;
    const int err = jbuf_put(jb, &hdr, mb);
    mem_deref(mb);
    if (err)
        return; // late or a duplicate
    struct rtp_header h;
    void *mem = nullptr;
    while (jbuf_get(jb, &h, &mem) == 0) {
        deliver(h, static_cast<struct mbuf *>(mem));
        mem = mem_deref(mem);
    }
}

void Playout::deliver(const struct rtp_header &hdr, struct mbuf *mb)
{
    const uint32_t samples = uint32_t(mbuf_get_left(mb) / 2);
    if (haveNext && !hdr.m) {
        const int32_t gap = int32_t(hdr.ts - nextTs);
        if (gap > 0 && uint32_t(gap) <= maxFilledGap) {
            // Packets were lost: keep the time line with silence.
            static const int16_t silence[maxFilledGap] = {};
            aubuf_write(ab, reinterpret_cast<const uint8_t *>(silence), size_t(gap) * 2);
            ++nLost;
        }
    }
    nextTs = hdr.ts + samples;
    haveNext = true;
    aubuf_append(ab, mb);
}

void Playout::discard(size_t samples)
{
    int16_t drop[maxFrame];
    while (samples) {
        const size_t n = samples < maxFrame ? samples : maxFrame;
        aubuf_read_samp(ab, drop, n);
        samples -= n;
    }
}

void Playout::read(int16_t *out, size_t count)
{
    if (count > maxFrame - 1 || count < 4) {
        std::memset(out, 0, count * 2);
        return;
    }
    const size_t goal = currentTarget();
    size_t before = level();
    if (playing && before < count) {
        ++nUnderruns;
        playing = false;
    }
    if (!playing && before >= goal + frameSamples) {
        // Start with exactly the target and a frame: what came on top while
        // it filled would only add delay, and dropping it now, before the
        // first sound, is not heard.
        discard(before - goal - frameSamples);
        before = level();
        playing = true;
    }

    if (playing) {
        if (before < minLevel)
            minLevel = before;
        lowest = before < lowest ? before : lowest;
        highest = before > highest ? before : highest;
        levelSum += before;
        ++nLevels;
        if (++ticks >= windowTicks) {
            // Without drift the lowest level stays at the target. Above it
            // by more than 8 samples, what stands over it is merged away in
            // the next second, evenly, up to one sample a frame: a phone's
            // drift as it comes, the surplus of the start at once. Growing
            // starts with the margin (or a quarter of a target at its
            // ceiling) still left, since the level may fall for one more
            // second before the change takes effect; between the two the
            // level is left alone, or the jitter would swing it to and fro.
            const size_t floor = std::max(std::min(goal, frameSamples + marginSamples), goal * 3 / 4);
            toMerge = 0;
            if (minLevel > goal + frameSamples / 16 && minLevel != SIZE_MAX) {
                mode = Shrink;
                toMerge = unsigned(std::min<size_t>(minLevel - goal, windowTicks));
                mergeEvery = windowTicks / toMerge;
            } else if (minLevel < floor) {
                mode = Grow;
            } else {
                mode = Steady;
            }
            // A whole frame over the ceiling stood for a whole second: a
            // burst after a stall, or a refill with more on its way. That is
            // delay and no cushion, and merging would take seconds to remove
            // it, so it goes at once, down to the target. (What the start
            // left between the target and the ceiling is merged.)
            if (minLevel > size_t(target) + frameSamples && minLevel != SIZE_MAX) {
                discard(minLevel - std::max(goal, frameSamples));
                before = level();
                toMerge = 0;
                ++nCut;
            }
            ticks = 0;
            minLevel = SIZE_MAX;
        }
    }

    if (!playing) {
        std::memset(out, 0, count * 2);
        return;
    }
    int16_t tmp[maxFrame];
    const bool correct = playing && ticks % correctEvery == 0;
    if (playing && mode == Shrink && toMerge && ticks % mergeEvery == 0 && before >= count + 1) {
        aubuf_read_samp(ab, tmp, count + 1);
        const size_t i = flattest(tmp, count + 1);
        tmp[i] = int16_t((int(tmp[i]) + int(tmp[i + 1])) / 2);
        std::memcpy(out, tmp, i * 2 + 2);
        std::memcpy(out + i + 1, tmp + i + 2, (count - i - 1) * 2);
        --toMerge;
        ++nMerged;
    } else if (correct && mode == Grow) {
        aubuf_read_samp(ab, tmp, count - 1);
        const size_t i = flattest(tmp, count - 1);
        std::memcpy(out, tmp, (i + 1) * 2);
        out[i + 1] = int16_t((int(tmp[i]) + int(tmp[i + 1])) / 2);
        std::memcpy(out + i + 2, tmp + i + 1, (count - i - 2) * 2);
        ++nSplit;
    } else {
        aubuf_read_samp(ab, out, count);
    }
}
