#include "dialplan.h"

#include "consolevocabulary.h"

namespace {

// The daemon's answers to the whole dialogue, in order; an accepted
// apartment number gets none.
const auto &answers = ConsoleVocabulary::dialplanAnswers;
const size_t answerCount = ConsoleVocabulary::dialplanAnswerCount;
const std::string listEnd(ConsoleVocabulary::listEnd);

} // namespace

DialPlan::DialPlan(const std::set<int> &virtualApartments, const std::set<int> &blacklist)
{
    text = std::string(ConsoleVocabulary::dialplan) + "\n";
    for (int n : virtualApartments)
        text += std::to_string(n) + "\n";
    text += listEnd + "\n";
    for (int n : blacklist)
        text += std::to_string(n) + "\n";
    text += listEnd;
}

DialPlan::State DialPlan::answer(const std::string &line)
{
    if (current != Waiting)
        return current;
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
    return next < answerCount ? answers[next].data() : "";
}
