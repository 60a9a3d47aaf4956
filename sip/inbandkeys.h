#pragma once

#include "tonemeter.h"

#include <cstddef>
#include <cstdint>
#include <functional>

struct dtmf_dec;

// Keys the phone sends as DTMF tones in its audio (phones behind analogue
// adapters, some DECT bases). librem's decoder listens to the audio from the
// phone; a key it hears counts only when
//   - its tone stands minDb over the rest of the band for minMs (ToneMeter,
//     in 5 ms blocks: 7 whole blocks in a row must be clean. The notches
//     ring for a moment where a tone starts or stops, which may spoil a block
//     at either end: a tone of 35 ms or less never counts, one of 45 ms or
//     more always does, most of 40 ms do. librem's decoder alone takes
//     most tones of 30 ms.), and
//   - the same key was not in the audio sent to the phone (the door's) at
//     any time in the echoMs before the tone began at the phone: a hands-free
//     phone hears the door's audio on its loudspeaker and sends it back, so a
//     visitor could otherwise play the open key at the door microphone.
// The door's side is judged leniently (a second decoder, or the key standing
// only doorDb over the rest), so doubt refuses the key.
class InbandKeys
{
public:
    static const unsigned minMs = 40;
    static constexpr double minDb = 20;
    static constexpr double doorDb = 10;
    static const uint64_t echoMs = 300;

    // A key heard from the phone: counted, or refused as the door's echo.
    using KeyHandler = std::function<void(char key, bool echo)>;

    explicit InbandKeys(KeyHandler onKey);
    ~InbandKeys();
    InbandKeys(const InbandKeys &) = delete;
    InbandKeys &operator=(const InbandKeys &) = delete;

    // Audio sent to the phone, and audio from it (decoded G.711, 8 kHz), each
    // with the monotonic time in ms it went or came.
    void toPhone(const int16_t *samples, size_t count, uint64_t nowMs);
    void fromPhone(const int16_t *samples, size_t count, uint64_t nowMs);

private:
    // Whole blocks a tone of minMs covers wherever it begins.
    static const unsigned cleanBlocks = minMs * 8 / ToneMeter::blockSamples - 1;
    // Door blocks kept: 800 ms, echoMs back from a tone that began a while
    // before its key was decided, and room for frames sent in a burst.
    static const size_t history = 160;

    static void phoneHeard(char key, void *arg);
    static void doorHeard(char key, void *arg);
    static void phoneBlock(void *arg);
    static void doorBlock(void *arg);

    KeyHandler onKey;
    struct dtmf_dec *phoneDec = nullptr;
    struct dtmf_dec *doorDec = nullptr;
    ToneMeter phoneMeter;
    ToneMeter doorMeter;
    uint64_t now = 0;

    // From the phone: the key the decoder heard, awaiting its clean blocks;
    // each key's clean blocks in a row, and when that run began.
    char candidate = 0;
    unsigned run[16] = {};
    uint64_t runStart[16] = {};

    // From the door: the keys in each of the last blocks, and when.
    struct DoorBlock
    {
        uint64_t ms = 0;
        uint16_t keys = 0;
    };
    DoorBlock door[history];
    size_t doorNext = 0;
    uint16_t doorDecoded = 0;   // keys the door's decoder reported since the last block
};
