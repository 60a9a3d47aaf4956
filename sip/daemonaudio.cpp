#include "daemonaudio.h"
#include "steadyclock.h"

#include <re.h>


namespace {

void ignored(const struct sa *, struct mbuf *, void *)
{
}

} // namespace

DaemonAudio::DaemonAudio(Config::SampleFormat format, FrameHandler onFrame, TickHandler onTick)
    : format(format), onFrame(std::move(onFrame)), onTick(std::move(onTick))
{
}

DaemonAudio::~DaemonAudio()
{
    stopClock();
    mem_deref(rx);
    mem_deref(tx);
}

int DaemonAudio::open(uint16_t fromPort, uint16_t toPort)
{
    sa_set_str(&to, "127.0.0.1", toPort);
    struct sa local;
    sa_set_str(&local, "127.0.0.1", fromPort);
    int err = udp_listen(&rx, &local, received, this);
    if (err)
        return err;
    // A frame is 256 bytes, at most 2 kB are taken; libre's 8 kB buffer per
    // datagram would come from a mapping of its own (main.cpp), 62.5 times
    // a second.
    udp_rxsz_set(rx, 4096);
    // The socket we send from; the daemon does not look at the sender.
    sa_set_str(&local, "127.0.0.1", 0);
    return udp_listen(&tx, &local, ignored, nullptr);
}

void DaemonAudio::startClock()
{
    if (running)
        return;
    running = true;
    lastFrameUs = anchorUs = 0;
    sinceAnchor = 0;
    shifted = 0;
    longestGap = 0;
    skipped = late = left = 0;
}

void DaemonAudio::stopClock()
{
    running = false;
}

void DaemonAudio::decode(Config::SampleFormat format, const uint8_t *bytes, size_t count, int16_t *samples)
{
    const bool be = format == Config::SampleFormat::S16BE;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t a = bytes[2 * i], b = bytes[2 * i + 1];
        samples[i] = int16_t(be ? (a << 8 | b) : (b << 8 | a));
    }
}

void DaemonAudio::encode(Config::SampleFormat format, const int16_t *samples, size_t count, uint8_t *bytes)
{
    const bool be = format == Config::SampleFormat::S16BE;
    for (size_t i = 0; i < count; ++i) {
        const uint16_t v = uint16_t(samples[i]);
        bytes[2 * i] = uint8_t(be ? v >> 8 : v);
        bytes[2 * i + 1] = uint8_t(be ? v : v >> 8);
    }
}

void DaemonAudio::received(const struct sa *src, struct mbuf *mb, void *arg)
{
    (void)src;
    DaemonAudio *self = static_cast<DaemonAudio *>(arg);
    const size_t count = mbuf_get_left(mb) / 2;
    if (!count)
        return;
    int16_t samples[1024];
    const size_t n = count < 1024 ? count : 1024;
    decode(self->format, mbuf_buf(mb), n, samples);
    self->onFrame(samples, n);
    if (self->running)
        self->answer();
}

void DaemonAudio::answer()
{
    const uint64_t now = SteadyClock::us();
    const uint64_t period = uint64_t(tickMs) * 1000;
    const uint64_t gap = lastFrameUs ? now - lastFrameUs : period;
    lastFrameUs = now;
    if (gap > longestGap)
        longestGap = gap;
    if (gap >= period * 3 / 2)
        ++late;
    if (!anchorUs) {
        anchorUs = now;
        sinceAnchor = -1;
    }
    ++sinceAnchor;
    int16_t samples[frameSamples];
    if (gap < bunchedUs) {
        // One frame of the peer's audio for each exchange, answered or not.
        onTick(samples, frameSamples);
        ++skipped;
        return;
    }
    // Exchanges the daemon left out (it was held up, and its timer goes on
    // from where it woke) shift every later frame of its by a period or
    // more against the earliest of them (the anchor: frames come late, never
    // early). One late frame, or frames held up on their way and bunched
    // after it, shift nothing for long; so only a shift that all of
    // shiftedFrames frames on time show counts. The audio of those exchanges
    // was never to be played: it is dropped, or it would stand in the
    // playout buffer.
    const int64_t offset = int64_t(now - anchorUs) - sinceAnchor * int64_t(period);
    if (offset < 0) {
        anchorUs = now - uint64_t(sinceAnchor) * period;
        shifted = 0;
    } else if (offset >= int64_t(period) * 3 / 4) {
        if (!shifted || offset < leastShift)
            leastShift = offset;
        if (++shifted >= shiftedFrames) {
            const int64_t missed = (leastShift + int64_t(period) / 4) / int64_t(period);
            for (int64_t i = 0; i < missed && i < 16; ++i) {
                onTick(samples, frameSamples);
                ++left;
            }
            anchorUs += uint64_t(missed) * period;
            shifted = 0;
        }
    } else {
        shifted = 0;
    }
    onTick(samples, frameSamples);
    uint8_t bytes[2 * frameSamples];
    encode(format, samples, frameSamples, bytes);
    struct mbuf frame;
    frame.buf = bytes;
    frame.size = sizeof bytes;
    frame.pos = 0;
    frame.end = sizeof bytes;
    udp_send(tx, &to, &frame);
}
