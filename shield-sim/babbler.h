#ifndef BABBLER_H
#define BABBLER_H

#include <QByteArray>
#include <QRandomGenerator>
#include <atomic>
#include <cstdint>
#include <thread>

class PtyPort;

// A line that never falls silent, as a floating input or a babbling device
// makes it: 10 bytes every 0.8 ms, written from a thread of its own so that
// the pace holds below the event loop's millisecond timers. The bytes are
// below 0xF0, so babble alone never looks like a frame.
class Babbler
{
public:
    Babbler(PtyPort *port, uint32_t seed);
    ~Babbler();

    // Babbles for `ms` milliseconds, then stops by itself.
    void start(int ms);
    // Waits for the babble to end (at once if stopNow) and returns the
    // number of bytes written.
    int64_t stop(bool stopNow = false);

    static const int chunkBytes = 10;
    static const int periodUs = 800;

private:
    void run(int64_t endNs);

    PtyPort *port;
    QRandomGenerator random;
    std::thread thread;
    std::atomic<bool> stopping{false};
    int64_t written = 0;
};

#endif
