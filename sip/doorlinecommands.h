#pragma once

// What a front-end asks of the door line. The line decides: it refuses what
// does not fit its state (an opening of a door unit while a call is on, an
// opening or an end without a call) and says so in its log.
class DoorLineCommands
{
public:
    virtual ~DoorLineCommands() = default;

    // The one-time opening of door unit `unit` (1-9), while the line is idle.
    virtual void openUnit(int unit) = 0;
    // Open the door that calls, during a door call.
    virtual void openCalling() = 0;
    // End the door call.
    virtual void endCall() = 0;
    virtual void setRingToOpen(bool on) = 0;
};
