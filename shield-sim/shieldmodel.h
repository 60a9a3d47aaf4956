#ifndef SHIELDMODEL_H
#define SHIELDMODEL_H

#include <QList>
#include <QString>
#include <cstdint>

// The intercom line as the shield's microcontroller sees it, and how it
// answers one poll. No I/O: the scenario sets the line, each poll may carry
// a command that changes it, and answerPoll() says what goes back.
class ShieldModel
{
public:
    static constexpr int defaultEndingFrames = 2;

    enum class Line { Idle, Call, Conversation, Ending, Raw };
    enum class Event { Pickup, Open, Drop };

    struct Answer {
        bool silent = false;  // no frame goes back
        uint8_t unit = 0;
        uint8_t status = 0;
        uint16_t apartment = 0;
        QList<Event> events;  // what the poll's command did to the line
    };

    ShieldModel() = default;

    // Scenario side. Every line-state change ends a silence without duration.
    void setIdle();
    void setCall(uint16_t apartment, uint8_t unit);
    void setConversation();  // picked up at the apartment; keeps the call's unit and apartment
    void setRawStatus(uint8_t status);
    // Reports the ending bit on the next `frames` answers, then idle. Does
    // nothing while the line is idle or already ending.
    bool hangup(int frames = defaultEndingFrames);
    void setSilent(bool silent) { this->silent = silent; }
    void addDoorOnce() { doorPending = true; }

    // Poll side: applies the poll's command, then builds the answer.
    Answer answerPoll(uint8_t unit, uint8_t cmd);

    static QString eventName(Event event);

private:
    void enter(Line next);

    Line state = Line::Idle;
    uint8_t callUnit = 0;
    uint16_t apartment = 0;
    uint8_t rawStatus = 0;
    int endingLeft = 0;
    bool doorPending = false;
    bool silent = false;
};

#endif
