#ifndef DELAYCONTROLLER_H
#define DELAYCONTROLLER_H

#include <cstdint>

// Keeps the queue of audio frames for the shield from holding more than the
// telephony application's jitter needs. Runs on the SPI thread, once per
// tick after the take; see delaycontroller.cpp for how and why.
class DelayController
{
public:
    explicit DelayController(int target = defaultTarget);

    static const int defaultTarget = 3;  // frames, 48 ms
    static const int window = 48;        // ticks over which the queue must stand
    static const int spacing = 6;        // ticks at least between two drops

    // `waiting` frames are left after this tick's take. True when the oldest
    // of them should be dropped now.
    bool tick(int waiting);

    // The receiver dropped late frames: what the next tick leaves stands, so
    // trimming may start without waiting for the window to fill.
    void standing();

private:
    int target;
    uint8_t history[window];  // frames left after each of the last ticks
    int next = 0;
    int sinceDrop = spacing;
    bool knownStanding = false;
};

#endif
