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
    // The socket we send from; the daemon does not look at the sender.
    sa_set_str(&local, "127.0.0.1", 0);
    return udp_listen(&tx, &local, ignored, nullptr);
}

void DaemonAudio::startClock()
{
    if (running)
        return;
    running = true;
    lastFrameUs = 0;
    longestGap = 0;
    skipped = late = 0;
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
    const uint64_t gap = lastFrameUs ? now - lastFrameUs : uint64_t(tickMs) * 1000;
    lastFrameUs = now;
    if (gap > longestGap)
        longestGap = gap;
    if (gap >= uint64_t(tickMs) * 1500)
        ++late;
    int16_t samples[frameSamples];
    onTick(samples, frameSamples);
    if (gap < bunchedUs) {
        ++skipped;  // read and dropped: the door heard silence in its place
        return;
    }
    uint8_t bytes[2 * frameSamples];
    encode(format, samples, frameSamples, bytes);
    struct mbuf frame;
    frame.buf = bytes;
    frame.size = sizeof bytes;
    frame.pos = 0;
    frame.end = sizeof bytes;
    udp_send(tx, &to, &frame);
}
