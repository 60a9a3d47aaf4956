#include "keyfilter.h"

bool KeyFilter::event(char key, uint32_t timestamp, uint64_t nowMs)
{
    if (haveTimestamp && int32_t(timestamp - lastTimestamp) <= 0)
        return false;
    haveTimestamp = true;
    lastTimestamp = timestamp;
    return counted(Event, key, nowMs);
}

bool KeyFilter::info(char key, uint32_t cseq, uint64_t nowMs)
{
    if (haveCseq && cseq <= lastCseq)
        return false;
    haveCseq = true;
    lastCseq = cseq;
    return counted(Info, key, nowMs);
}

bool KeyFilter::tone(char key, uint64_t nowMs)
{
    return counted(Tone, key, nowMs);
}

bool KeyFilter::counted(Way way, char key, uint64_t nowMs)
{
    if ((echoWays & (1u << way)) && key == echoKey && nowMs <= echoUntil) {
        echoWays &= ~(1u << way);
        return false;
    }
    echoWays = 7u & ~(1u << way);
    echoKey = key;
    echoUntil = nowMs + echoMs;
    return true;
}
