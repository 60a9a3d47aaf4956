#include "delaycontroller.h"

#include <algorithm>

// How the delay towards the shield stays low.
//
// One frame leaves the queue per 16 ms tick, so the frames left after a take
// are the delay, in ticks, of the next frame that arrives. The telephony
// application sends on its own clock: 1 % fast adds a frame every 100 ticks,
// and a pause followed by a catch-up leaves as many frames as the pause had
// ticks. Neither ever drains by itself. The part of the queue that never
// drains is delay and nothing else; the part that comes and goes absorbs the
// sender's jitter and must stay.
//
// So the controller keeps the smallest number of frames left over the last
// `window` ticks. What did not drain in that time stands. While more than
// `target` frames stand, it drops the oldest frame, at least `spacing` ticks
// after the previous drop: a drop skips 16 ms of audio, and single skips apart
// are less audible than one long gap. After a drop every remembered level is
// one lower, since those frames stood with the dropped one among them; the
// next drop therefore waits for evidence that still more stands.
//
// A sender with jitter empties the queue now and then; an empty queue pulls
// the minimum to 0, so the controller never trims below the jitter. A
// datagram of ten frames drains within ten ticks, far inside the window, so
// a burst goes out whole. The receiver's 16-frame bound stays as a backstop.
//
// That alone would leave a catch-up after a 160 ms pause playing about 150 ms
// late for more than a second (the window, then one drop per `spacing`
// ticks). The UDP receiver therefore also limits what a datagram finds
// waiting when it arrives: when more than target + 1 older frames wait, its
// frames would reach the shield more than 64 ms late, and the oldest go
// (UDPread::writeBufUDP). The frames of one datagram are never dropped for
// each other, so a burst in one datagram still goes out whole. Such a drop
// proves that the queue stands, and standing() lets this controller trim the
// rest at once instead of after a window.
//
// The tick pays a scan of `window` bytes and, when it drops, one dequeue
// under the queue's lock, as the take does: no system call, no allocation.
// With a target of 16 frames nothing is dropped but at the 16-frame bound,
// which is how the daemon behaved before.

DelayController::DelayController(int target)
    : target(std::max(target, 0))
{
    std::fill(history, history + window, uint8_t(0));
}

bool DelayController::tick(int waiting)
{
    const uint8_t level = uint8_t(std::min(std::max(waiting, 0), 255));
    if (knownStanding) {
        std::fill(history, history + window, level);
        knownStanding = false;
    }
    history[next] = level;
    next = (next + 1) % window;
    if (sinceDrop < spacing)
        ++sinceDrop;

    const int standing = *std::min_element(history, history + window);
    if (standing <= target || sinceDrop < spacing || waiting == 0)
        return false;
    for (uint8_t &entry : history)
        --entry;  // every entry is above target >= 0
    sinceDrop = 0;
    return true;
}

void DelayController::standing()
{
    knownStanding = true;
}
