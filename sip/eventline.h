#pragma once

#include <string>

// One line that the daemon wrote on its standard output, as tmx-sip reads it.
// Banner lines, '#' lines and anything unknown are Other: not for us.
class EventLine
{
public:
    enum Kind { Other, Dial, Pickup, Open, Drop, Message };

    static EventLine parse(const std::string &line);

    Kind kind = Other;
    int apartment = -1;     // Dial only
    int door = -1;          // Dial with a call unit (-ic 102), else -1
};
