#pragma once

#include <ctime>
#include <string>

// One door call as it ended: who was rung from which door, when, who took
// it and whether the door was opened.
struct CallRecord
{
    int apartment = -1;
    int door = -1;              // the calling door unit; -1: not known
    time_t began = 0;
    time_t ended = 0;
    std::string answeredBy;     // the phone's URI, "handset", or empty: no one
    bool doorOpened = false;
};
