#include "rooms.h"

Rooms::Rooms()
{
    for (int i = 0; i < words; ++i) {
        readImitPhone[i] = 0;
        readBlackPhone[i] = 0;
    }
}

bool Rooms::isInMask(const std::atomic<uint32_t> *mask, int dial)
{
    // The shield reports apartments up to 9999; the masks only hold 0 to 1023.
    if (dial < 0 || dial > maxRoom)
        return false;
    return (mask[dial / 32].load() >> (dial % 32)) & 1u;
}

bool Rooms::isImitPhone(int dial) const
{
    return isInMask(readImitPhone, dial);
}

bool Rooms::isBlockPhone(int dial) const
{
    return isInMask(readBlackPhone, dial);
}
