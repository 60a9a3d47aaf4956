#pragma once

#include <cstddef>
#include <cstdint>

// How cleanly each of the sixteen DTMF keys stands in a stream of 8 kHz
// audio, judged in blocks of 5 ms: the energy left once the key's two
// frequencies are notched out (each with a notch about 250 Hz wide, so a
// tone a little off its nominal frequency is still taken out whole) is "the
// rest of the band"; the key stands D dB over it when the whole block's
// energy is D dB above that rest.
// librem's decoder says which key it heard, but not how far above the rest
// of the audio it stood; this is that measure.
class ToneMeter
{
public:
    static const size_t blockSamples = 40;

    // keys: "123A456B789C*0#D", the order of key indices here.
    static int keyIndex(char key);

    // Feeds audio; after each whole block calls onBlock(arg).
    void feed(const int16_t *samples, size_t count, void (*onBlock)(void *arg), void *arg);
    // Of the last whole block: whether key index k stands db dB over the rest
    // of the band, and the block is louder than floorRms at all.
    bool stands(int k, double db, double floorRms) const;

private:
    struct Notch
    {
        double b1 = 0, a1 = 0, a2 = 0;      // b0 = b2 = 1
        double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
        void tune(double hz);
        double step(double x);
    };
    void sample(double x);

    bool tuned = false;
    Notch low[4];           // one per row frequency
    Notch high[4][4];       // after low[r]: one per column frequency
    size_t filled = 0;
    double total = 0;       // this block's energy, and its rest per key
    double rest[16] = {};
    double lastTotal = 0;   // of the last whole block
    double lastRest[16] = {};
};
