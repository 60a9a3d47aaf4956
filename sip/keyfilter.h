#pragma once

#include <cstdint>

// Counts each key the phone presses once, however many times it arrives.
// An RFC 4733 telephone event comes in several packets (start, repeats, the
// end three times) under one RTP timestamp, and a late end packet of one key
// may come after the next key began; a SIP INFO is sent again when its 200
// was lost; some phones send every key both ways, or three ways with a
// tone in the audio too. So:
//   - an event counts when its timestamp is later (serial arithmetic) than
//     that of the last event;
//   - an INFO counts when its CSeq is higher than that of the last INFO;
//   - a tone in the audio counts as the tone detector hands it over (once
//     per tone);
//   - a key that counted by one way is expected once more by each other way
//     within echoMs: the first same key by another way within that time is
//     the same press and does not count.
class KeyFilter
{
public:
    static const uint64_t echoMs = 200;

    // Each returns whether the key counts; nowMs is a monotonic clock.
    bool event(char key, uint32_t timestamp, uint64_t nowMs);
    bool info(char key, uint32_t cseq, uint64_t nowMs);
    bool tone(char key, uint64_t nowMs);

private:
    enum Way { Event, Info, Tone };
    bool counted(Way way, char key, uint64_t nowMs);

    bool haveTimestamp = false;
    uint32_t lastTimestamp = 0;
    bool haveCseq = false;
    uint32_t lastCseq = 0;

    // The key that counted last, awaiting its echo by the other ways (a bit
    // per way).
    unsigned echoWays = 0;
    char echoKey = 0;
    uint64_t echoUntil = 0;
};
