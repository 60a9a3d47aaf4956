#pragma once

#include "callrecord.h"

#include <string>

// What the door line tells a front-end that listens to it. Every call comes
// from the event loop, after the line's state has changed.
class DoorLineListener
{
public:
    // The line as a front-end shows it.
    enum class State { Idle, Ringing, Talking, DoorOpen };

    virtual ~DoorLineListener() = default;

    // The line is now in this state; apartment and door are those of the
    // door call (-1 while idle, and where not known).
    virtual void lineChanged(State state, int apartment, int door) = 0;
    // A door call begins: door unit `door` rings `apartment`.
    virtual void ring(int apartment, int door) = 0;
    // A door was opened; by says how: a phone's URI, "handset", "pin",
    // "mqtt" or "ring_to_open".
    virtual void doorOpened(int door, const std::string &by) = 0;
    virtual void callEnded(const CallRecord &call) = 0;
    virtual void registrationChanged(bool registered) = 0;
    virtual void daemonChanged(bool running) = 0;
    virtual void ringToOpenChanged(bool on) = 0;
};
