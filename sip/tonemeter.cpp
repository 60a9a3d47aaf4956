#include "tonemeter.h"

#include <cmath>
#include <cstring>

namespace {

const double rowHz[4] = {697, 770, 852, 941};
const double columnHz[4] = {1209, 1336, 1477, 1633};
const char keys[] = "123A456B789C*0#D";
const double srate = 8000;
// Pole radius of each notch: about (1 - r) * 8000 / pi = 255 Hz wide at
// -3 dB, and it settles within a few ms of a tone's start.
const double poleRadius = 0.9;

} // namespace

int ToneMeter::keyIndex(char key)
{
    const char *p = key ? std::strchr(keys, key) : nullptr;
    return p ? int(p - keys) : -1;
}

void ToneMeter::Notch::tune(double hz)
{
    const double c = std::cos(2 * M_PI * hz / srate);
    b1 = -2 * c;
    a1 = -2 * poleRadius * c;
    a2 = poleRadius * poleRadius;
}

double ToneMeter::Notch::step(double x)
{
    // (1 + r^2) / 2: about unity gain away from the notch.
    const double y = (1 + a2) / 2 * (x + b1 * x1 + x2) - a1 * y1 - a2 * y2;
    x2 = x1;
    x1 = x;
    y2 = y1;
    y1 = y;
    return y;
}

void ToneMeter::sample(double x)
{
    total += x * x;
    for (int r = 0; r < 4; ++r) {
        const double y = low[r].step(x);
        for (int c = 0; c < 4; ++c) {
            const double z = high[r][c].step(y);
            rest[r * 4 + c] += z * z;
        }
    }
}

void ToneMeter::feed(const int16_t *samples, size_t count, void (*onBlock)(void *arg), void *arg)
{
    if (!tuned) {
        for (int r = 0; r < 4; ++r) {
            low[r].tune(rowHz[r]);
            for (int c = 0; c < 4; ++c)
                high[r][c].tune(columnHz[c]);
        }
        tuned = true;
    }
    for (size_t i = 0; i < count; ++i) {
        sample(samples[i]);
        if (++filled < blockSamples)
            continue;
        lastTotal = total;
        std::memcpy(lastRest, rest, sizeof rest);
        total = 0;
        std::memset(rest, 0, sizeof rest);
        filled = 0;
        onBlock(arg);
    }
}

bool ToneMeter::stands(int k, double db, double floorRms) const
{
    if (k < 0 || k >= 16 || lastTotal < floorRms * floorRms * blockSamples)
        return false;
    return lastRest[k] * std::pow(10.0, db / 10) <= lastTotal;
}
