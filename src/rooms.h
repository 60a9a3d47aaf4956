#ifndef ROOMS_H
#define ROOMS_H

#include <atomic>
#include <cstdint>

// The imitation mask and the blacklist: 1024 apartments each, apartment n is
// bit (n mod 32) of word (n / 32). The console thread writes the words while
// the main thread looks them up, so each word is atomic.
class Rooms
{
public:
    Rooms();

    bool isImitPhone(int dial) const;
    bool isBlockPhone(int dial) const;

    static const int words = 32;
    static const int maxRoom = words * 32 - 1;

    std::atomic<uint32_t> readImitPhone[words];
    std::atomic<uint32_t> readBlackPhone[words];

    static bool isInMask(const std::atomic<uint32_t> *mask, int dial);
};

#endif
