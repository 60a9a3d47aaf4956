#include "pinentry.h"

namespace {

// Compares without stopping at the first difference, so that the time a
// wrong PIN takes says nothing about how much of it was right.
bool sameKeys(const std::string &a, const std::string &b)
{
    unsigned diff = a.size() != b.size();
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        diff |= unsigned(a[i] ^ b[i]);
    return diff == 0;
}

} // namespace

PinEntry::Result PinEntry::key(char k)
{
    switch (state) {
    case Done:
        return result;
    case Entering:
        if (k == '#') {
            state = sameKeys(entered, pin) && !pin.empty() ? Accepted : Done;
            result = state == Accepted ? More : WrongPin;
            return result;
        }
        entered += k;
        if (entered.size() > maxKeys) {
            state = Done;
            result = WrongPin;
        }
        return result;
    case Accepted:
        state = Done;
        if (k >= '1' && k <= '9') {
            doorUnit = k - '0';
            result = Door;
        } else {
            result = NotADoor;
        }
        return result;
    }
    return result;
}
