#include "daemonaudio.h"
#include "log.h"

#include <re.h>

#include <cerrno>
#include <sys/timerfd.h>
#include <unistd.h>

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
    if (timer >= 0) {
        fd_close(timer);
        close(timer);
    }
    mem_deref(rx);
    mem_deref(tx);
}

int DaemonAudio::open(uint16_t fromPort, uint16_t toPort)
{
    this->toPort = toPort;
    struct sa local;
    sa_set_str(&local, "127.0.0.1", fromPort);
    int err = udp_listen(&rx, &local, received, this);
    if (err)
        return err;
    // The socket we send from; the daemon does not look at the sender.
    sa_set_str(&local, "127.0.0.1", 0);
    err = udp_listen(&tx, &local, ignored, nullptr);
    if (err)
        return err;
    timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (timer < 0)
        return errno;
    return 0;
}

void DaemonAudio::startClock()
{
    if (running || timer < 0)
        return;
    struct itimerspec period = {};
    period.it_interval.tv_nsec = long(tickMs) * 1000 * 1000;
    period.it_value = period.it_interval;
    if (timerfd_settime(timer, 0, &period, nullptr) || fd_listen(timer, FD_READ, ticked, this)) {
        sipLog("audio: cannot start the 16 ms clock: %m", errno);
        return;
    }
    running = true;
    sent = taken = 0;
    skipped = late = 0;
    aheadLow = aheadHigh = 0;
    aheadSum = ticks = 0;
}

void DaemonAudio::stopClock()
{
    if (!running)
        return;
    running = false;
    struct itimerspec off = {};
    timerfd_settime(timer, 0, &off, nullptr);
    fd_close(timer);
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
    if (self->running)
        ++self->taken;
    int16_t samples[1024];
    const size_t n = count < 1024 ? count : 1024;
    decode(self->format, mbuf_buf(mb), n, samples);
    self->onFrame(samples, n);
}

void DaemonAudio::ticked(int flags, void *arg)
{
    (void)flags;
    DaemonAudio *self = static_cast<DaemonAudio *>(arg);
    uint64_t expirations = 0;
    if (read(self->timer, &expirations, sizeof expirations) != sizeof expirations)
        return;
    // A late wake-up still sends one frame per tick that passed, so the daemon
    // gets 62.5 frames a second on average.
    if (expirations > 1 && self->running)
        self->late += unsigned(expirations - 1);
    if (expirations > 4)
        expirations = 4;
    for (uint64_t i = 0; i < expirations && self->running; ++i) {
        const int ahead = int(self->sent - self->taken);
        self->aheadLow = !self->ticks || ahead < self->aheadLow ? ahead : self->aheadLow;
        self->aheadHigh = !self->ticks || ahead > self->aheadHigh ? ahead : self->aheadHigh;
        self->aheadSum += ahead;
        ++self->ticks;
        if (ahead >= maxAhead) {
            ++self->skipped;
            continue;
        }
        ++self->sent;
        int16_t samples[frameSamples];
        self->onTick(samples, frameSamples);
        uint8_t bytes[2 * frameSamples];
        encode(self->format, samples, frameSamples, bytes);
        struct mbuf mb;
        mb.buf = bytes;
        mb.size = sizeof bytes;
        mb.pos = 0;
        mb.end = sizeof bytes;
        struct sa to;
        sa_set_str(&to, "127.0.0.1", self->toPort);
        udp_send(self->tx, &to, &mb);
    }
}
