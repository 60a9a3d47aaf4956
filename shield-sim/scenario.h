#ifndef SCENARIO_H
#define SCENARIO_H

#include <QByteArray>
#include <QList>
#include <QString>
#include <cstdint>

// A parsed scenario file: one step per line. The grammar is described in
// README.md.
class Scenario
{
public:
    enum class Kind {
        Idle, Call, Talk, Door, Hangup, Status, Silence, Sleep,
        Raw, Split, Garbage, WaitEvent, WaitPolls, ExpectCmd, Answer, Quit, Audio, WaitAudio
    };

    // One piece of a split step: bytes to write, or a pause.
    struct Chunk {
        QByteArray bytes;
        int pauseMs = 0;
    };

    struct Step {
        Kind kind = Kind::Idle;
        int line = 0;
        QString text;         // the line as written, comment stripped
        int ms = 0;           // duration of the step, or timeout of a wait; 0: none
        bool noTimeout = false;  // a wait without timeout
        int number = 0;       // apartment, status byte, count, command code, ending frames
        int unit = 1;         // call unit of a call
        QString event;        // pickup, open, drop for a wait
        QString typeText;     // for "wait EVENT DUR or type TEXT": typed when the wait runs out
        QByteArray bytes;     // raw bytes, or the fixed message answer
        QString answerMode;   // echo, none, bytes
        QList<Chunk> chunks;  // split
    };

    Scenario() = default;

    // Parses the whole text; on the first bad line returns false and sets
    // *error to "line N: what".
    bool parse(const QString &text, QString *error);
    bool load(const QString &path, QString *error);

    const QList<Step> &steps() const { return list; }
    bool usesAudio() const;

    // "250ms", "2s", "1.5s", "1min"; false when not a duration.
    static bool parseDuration(const QString &text, int *ms);
    // Decimal or 0x hexadecimal within [min, max].
    static bool parseNumber(const QString &text, int min, int max, int *value);
    // "echo", "none" or hex bytes.
    static bool parseAnswerMode(const QString &text, QString *mode, QByteArray *bytes);

private:
    bool parseLine(const QString &text, Step *step, QString *error);

    QList<Step> list;
};

#endif
