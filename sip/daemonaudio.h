#pragma once

#include "config.h"

#include <cstddef>
#include <cstdint>
#include <functional>

struct udp_sock;

// The daemon's side of the audio: its frames arrive on 127.0.0.1:20002, ours
// go to 127.0.0.1:20003, 128 samples every 16 ms in its sample format. While
// the clock runs, tmx-sip's own 16 ms clock (CLOCK_MONOTONIC, so wall-clock
// steps do not disturb it) asks for one frame per tick. The daemon sends us
// one frame for each SPI exchange, each of which takes one of ours from its
// queue: a tick that would put more than maxAhead frames in that queue (the
// daemon missed exchanges) is skipped, so its queue never grows and the
// frames not sent stay in our playout buffer, which absorbs them.
class DaemonAudio
{
public:
    static const size_t frameSamples = 128;
    static const unsigned tickMs = 16;
    static const int maxAhead = 3;

    // Receives the samples of each frame from the daemon.
    using FrameHandler = std::function<void(const int16_t *samples, size_t count)>;
    // Fills one frame for the daemon.
    using TickHandler = std::function<void(int16_t *samples, size_t count)>;

    DaemonAudio(Config::SampleFormat format, FrameHandler onFrame, TickHandler onTick);
    ~DaemonAudio();
    DaemonAudio(const DaemonAudio &) = delete;
    DaemonAudio &operator=(const DaemonAudio &) = delete;

    // Binds 127.0.0.1:fromPort and opens the clock. Returns 0 or an errno value.
    int open(uint16_t fromPort = 20002, uint16_t toPort = 20003);
    void startClock();
    void stopClock();
    bool clockRunning() const { return running; }
    unsigned skippedTicks() const { return skipped; }
    // Ticks whose frame went out 16 ms or more late (we were starved): the
    // daemon may have run out of frames meanwhile.
    unsigned lateTicks() const { return late; }
    // Our frames the daemon had not taken yet at each tick since the clock
    // started (sent less the frames it sent us): lowest, average, highest.
    int aheadMin() const { return ticks ? aheadLow : 0; }
    int aheadMax() const { return ticks ? aheadHigh : 0; }
    double aheadMean() const { return ticks ? double(aheadSum) / double(ticks) : 0; }

    // Frame bytes <-> samples in the daemon's format.
    static void decode(Config::SampleFormat format, const uint8_t *bytes, size_t count, int16_t *samples);
    static void encode(Config::SampleFormat format, const int16_t *samples, size_t count, uint8_t *bytes);

private:
    static void received(const struct sa *src, struct mbuf *mb, void *arg);
    static void ticked(int flags, void *arg);

    Config::SampleFormat format;
    FrameHandler onFrame;
    TickHandler onTick;
    struct udp_sock *rx = nullptr;
    struct udp_sock *tx = nullptr;
    uint16_t toPort = 20003;
    int timer = -1;
    bool running = false;
    int64_t sent = 0;           // frames sent since the clock started
    int64_t taken = 0;          // frames the daemon sent meanwhile, one per exchange
    unsigned skipped = 0;
    unsigned late = 0;
    int aheadLow = 0;
    int aheadHigh = 0;
    int64_t aheadSum = 0;
    int64_t ticks = 0;
};
