#pragma once

#include "config.h"
#include "consolevocabulary.h"

#include <cstddef>
#include <cstdint>
#include <functional>

#include <re.h>


// The daemon's side of the audio: its frames arrive on 127.0.0.1 at
// audioFromDaemonPort, ours go to audioToDaemonPort (consolevocabulary.h), 128 samples every 16 ms in its sample format. The
// daemon sends us one frame for each SPI exchange, and each exchange takes
// one of ours from its queue. So while the clock runs, each frame from the
// daemon is answered at once with one of ours, for its next exchange: ours
// waits there less than one exchange, follows the daemon's clock exactly, and
// no clock of our own is needed.
// Frames that arrive bunched (within bunchedUs of the one before: the daemon
// or we were held up) had their exchanges find our queue empty, and the door
// heard silence for them. Answering each would leave a frame standing in the
// daemon's queue, 16 ms more for the rest of the call; so only the first is
// answered, and the audio meant for the others is read and dropped, which
// keeps the call's audio on time. Exchanges the daemon left out altogether
// (its timer skips what it slept through) show as fewer frames than periods
// passed; their audio is dropped too.
class DaemonAudio
{
public:
    static const size_t frameSamples = ConsoleVocabulary::audioFrameSamples;
    static const unsigned tickMs = ConsoleVocabulary::audioFrameMs;
    static const uint64_t bunchedUs = 4000;
    static const unsigned shiftedFrames = 4;

    // Receives the samples of each frame from the daemon.
    using FrameHandler = std::function<void(const int16_t *samples, size_t count)>;
    // Fills one frame for the daemon.
    using TickHandler = std::function<void(int16_t *samples, size_t count)>;

    DaemonAudio(Config::SampleFormat format, FrameHandler onFrame, TickHandler onTick);
    ~DaemonAudio();
    DaemonAudio(const DaemonAudio &) = delete;
    DaemonAudio &operator=(const DaemonAudio &) = delete;

    // Binds 127.0.0.1:fromPort. Returns 0 or an errno value.
    int open(uint16_t fromPort = ConsoleVocabulary::audioFromDaemonPort,
             uint16_t toPort = ConsoleVocabulary::audioToDaemonPort);
    void startClock();
    void stopClock();
    bool clockRunning() const { return running; }
    // Frames of the daemon's not answered since they came bunched.
    unsigned skippedTicks() const { return skipped; }
    // Frames of the daemon's that came 24 ms or more after the one before
    // (it or we were held up): its exchange may have gone without ours.
    unsigned lateTicks() const { return late; }
    // Exchanges the daemon left out, whose audio was dropped.
    unsigned leftOut() const { return left; }
    // The longest time between two frames of the daemon's, ms.
    double longestGapMs() const { return double(longestGap) / 1000; }

    // Frame bytes <-> samples in the daemon's format.
    static void decode(Config::SampleFormat format, const uint8_t *bytes, size_t count, int16_t *samples);
    static void encode(Config::SampleFormat format, const int16_t *samples, size_t count, uint8_t *bytes);

private:
    static void received(const struct sa *src, struct mbuf *mb, void *arg);
    void answer();

    Config::SampleFormat format;
    FrameHandler onFrame;
    TickHandler onTick;
    struct udp_sock *rx = nullptr;
    struct udp_sock *tx = nullptr;
    struct sa to;
    bool running = false;
    uint64_t lastFrameUs = 0;   // when the daemon's last frame came, 0 before the first
    uint64_t longestGap = 0;
    uint64_t anchorUs = 0;      // a frame's arrival, on the daemon's time line
    int64_t sinceAnchor = 0;    // frames since
    unsigned shifted = 0;       // frames in a row a period or so behind the anchor
    int64_t leastShift = 0;     // the least of their shifts, us
    unsigned skipped = 0;
    unsigned left = 0;
    unsigned late = 0;
};
