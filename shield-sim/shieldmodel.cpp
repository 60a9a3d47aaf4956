#include "shieldmodel.h"

#include "consolevocabulary.h"
#include "shieldprotocol.h"

using namespace ShieldProtocol;

void ShieldModel::enter(Line next)
{
    state = next;
    silent = false;
}

void ShieldModel::setIdle()
{
    enter(Line::Idle);
    doorPending = false;
}

void ShieldModel::setCall(uint16_t apartment, uint8_t unit)
{
    enter(Line::Call);
    this->apartment = apartment;
    callUnit = unit;
    doorPending = false;
}

void ShieldModel::setConversation()
{
    enter(Line::Conversation);
}

void ShieldModel::setRawStatus(uint8_t status)
{
    enter(Line::Raw);
    rawStatus = status;
}

bool ShieldModel::hangup(int frames)
{
    if (state == Line::Idle || state == Line::Ending) {
        silent = false;
        return false;
    }
    enter(Line::Ending);
    endingLeft = frames;
    return true;
}

ShieldModel::Answer ShieldModel::answerPoll(uint8_t unit, uint8_t cmd)
{
    Answer answer;
    if (silent) {
        answer.silent = true;
        return answer;
    }

    // Commands act only in the states where the real line can carry them
    // out; anything else is ignored, as the daemon repeats its command until
    // it sees the result.
    const bool inCall = state == Line::Call || state == Line::Conversation;
    if (cmd == CmdPickup && state == Line::Call) {
        state = Line::Conversation;
        answer.events << Event::Pickup;
    } else if (cmd == CmdOpen && inCall) {
        doorPending = true;
        answer.events << Event::Open;
    } else if (cmd == CmdDrop && inCall) {
        state = Line::Ending;
        endingLeft = defaultEndingFrames;
        answer.events << Event::Drop;
    } else if (cmd == CmdOpenOnetime && state == Line::Idle) {
        doorPending = true;
        answer.events << Event::Open;
    }

    switch (state) {
    case Line::Idle:
        // An idle shield answers for whichever call unit was polled.
        answer.unit = unit;
        answer.status = LineIdle;
        break;
    case Line::Call:
        answer.unit = callUnit;
        answer.status = LineCall;
        answer.apartment = apartment;
        break;
    case Line::Conversation:
        answer.unit = callUnit;
        answer.status = LineConversation;
        answer.apartment = apartment;
        break;
    case Line::Ending:
        answer.unit = callUnit;
        answer.status = LineEnding;
        answer.apartment = apartment;
        if (--endingLeft <= 0)
            state = Line::Idle;
        break;
    case Line::Raw:
        answer.unit = callUnit ? callUnit : unit;
        answer.status = rawStatus;
        answer.apartment = apartment;
        break;
    }
    if (doorPending) {
        answer.status |= LineDoorOpened;
        doorPending = false;
    }
    return answer;
}

QString ShieldModel::eventName(Event event)
{
    const auto text = [](std::string_view word) { return QString::fromLatin1(word.data(), int(word.size())); };
    switch (event) {
    case Event::Pickup:
        return text(ConsoleVocabulary::pickup);
    case Event::Open:
        return text(ConsoleVocabulary::open);
    case Event::Drop:
        return text(ConsoleVocabulary::drop);
    }
    return QString();
}
