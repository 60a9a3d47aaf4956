#pragma once

#include <set>
#include <string>

// The daemon's dialplan dialogue, which loads its two masks: the lines to
// write on its standard input, and a check of each line it answers.
class DialPlan
{
public:
    enum State { Waiting, Done, Failed };

    DialPlan(const std::set<int> &virtualApartments, const std::set<int> &blacklist);

    // "dialplan", the virtual apartments one per line, -1, the blacklist,
    // -1: lines separated by "\n", without one after the last.
    const std::string &commands() const { return text; }
    // One line from the daemon that is not an event. Lines before the
    // dialogue's first answer (the banner, say) are passed over; from then
    // on each must be the next answer.
    State answer(const std::string &line);
    State state() const { return current; }
    // What went wrong, once Failed.
    const std::string &error() const { return why; }
    // The answer still awaited.
    const char *awaited() const;

private:
    std::string text;
    size_t next = 0;
    State current = Waiting;
    std::string why;
};
