#include "dialplan.h"

namespace {

// The daemon's answers to the whole dialogue, in order; an accepted
// apartment number gets none.
const char *const answers[] = {
    "mask_imit",
    "#Write rooms for shield:",
    "#End read rooms",
    "",
    "mask_block",
    "#Write blacklist rooms for shield:",
    "#End read rooms",
    "",
    "#Shield update virtual list",
    "#Shield update black list",
};
const size_t answerCount = sizeof answers / sizeof answers[0];

} // namespace

DialPlan::DialPlan(const std::set<int> &virtualApartments, const std::set<int> &blacklist)
{
    text = "dialplan\n";
    for (int n : virtualApartments)
        text += std::to_string(n) + "\n";
    text += "-1\n";
    for (int n : blacklist)
        text += std::to_string(n) + "\n";
    text += "-1";
}

DialPlan::State DialPlan::answer(const std::string &raw)
{
    if (current != Waiting)
        return current;
    std::string line = raw;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (next == 0 && line != answers[0])
        return current;
    if (line != answers[next]) {
        why = "expected '" + std::string(answers[next]) + "', the daemon wrote '" + line.substr(0, 80) + "'";
        current = Failed;
        return current;
    }
    if (++next == answerCount)
        current = Done;
    return current;
}

const char *DialPlan::awaited() const
{
    return next < answerCount ? answers[next] : "";
}
