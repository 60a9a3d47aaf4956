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
// One sample merged or split every fourth frame: follows clocks up to 0.19 %
// apart (crystals are within 0.01 %) and shifts the pitch by no more.
const unsigned correctEvery = 4;
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
    // It plays once it holds the target and one frame, so the first reads
    // leave the target in it; bounded at 1 s more, beyond which the oldest
    // packet is dropped.
    aubuf_alloc(&ab, 2 * (size_t(target) + frameSamples), 2 * (size_t(target) + 8000));
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
    ticks = 0;
    minLevel = SIZE_MAX;
}

size_t Playout::level() const
{
    return aubuf_cur_size(ab) / 2;
}

void Playout::put(const struct rtp_header &hdr, const int16_t *samples, size_t count)
{
    if (!jb || !ab || !count)
        return;
    if (haveSsrc && hdr.ssrc != ssrc) {
        // The jitter buffer would take the new numbers for late ones.
        jbuf_flush(jb);
        haveNext = false;
    }
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
    size_t before = level();
    if (playing && before < count) {
        ++nUnderruns;
        playing = false;
    }
    if (!playing && before >= target + frameSamples) {
        // Start with exactly the target and a frame: what came on top while
        // it filled would only add delay, and dropping it now, before the
        // first sound, is not heard.
        discard(before - target - frameSamples);
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
            // by more than 8 samples, merging brings it back; growing
            // starts with a quarter of it still left, since the level may
            // fall for one more second before the change takes effect.
            if (minLevel > target + frameSamples / 16)
                mode = Shrink;
            else if (minLevel < target * 3 / 4)
                mode = Grow;
            else
                mode = Steady;
            // A whole frame more stood for a whole second: a burst after a
            // stall, or a refill with more on its way. That is delay and no
            // cushion, and merging would take many seconds to remove it, so
            // it goes at once, down to the target.
            if (minLevel > target + frameSamples && minLevel != SIZE_MAX) {
                discard(minLevel - std::max(size_t(target), frameSamples));
                before = level();
                ++nCut;
            }
            ticks = 0;
            minLevel = SIZE_MAX;
        }
    }

    int16_t tmp[maxFrame];
    const bool correct = playing && ticks % correctEvery == 0;
    if (correct && mode == Shrink && before >= count + 1) {
        aubuf_read_samp(ab, tmp, count + 1);
        const size_t i = flattest(tmp, count + 1);
        tmp[i] = int16_t((int(tmp[i]) + int(tmp[i + 1])) / 2);
        std::memcpy(out, tmp, i * 2 + 2);
        std::memcpy(out + i + 1, tmp + i + 2, (count - i - 1) * 2);
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
