#pragma once

#include <string>

// The keys a caller presses to open a door: the PIN, '#', then the digit of
// the door unit (1-9). Only the right PIN followed by '#' lets a door digit
// through; nothing else ever gives Door.
class PinEntry
{
public:
    enum Result {
        More,       // keep listening
        WrongPin,   // '#' after anything but the PIN, or a PIN far too long
        Door,       // the right PIN, '#', and a door digit: door()
        NotADoor,   // the right PIN and '#', then a key that names no door
    };

    explicit PinEntry(const std::string &pin) : pin(pin) {}

    // One key: 0-9, *, #, A-D. Once a result other than More came, every
    // further key gives that result again.
    Result key(char k);
    // After the right PIN and '#': waiting for the door digit.
    bool pinAccepted() const { return state == Accepted; }
    int door() const { return doorUnit; }

private:
    static const size_t maxKeys = 32;

    enum State { Entering, Accepted, Done };
    const std::string pin;
    std::string entered;
    State state = Entering;
    Result result = More;
    int doorUnit = -1;
};
