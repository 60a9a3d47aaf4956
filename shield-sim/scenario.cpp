#include "scenario.h"

#include "framecodec.h"
#include "shieldmodel.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringList>

bool Scenario::load(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = file.errorString();
        return false;
    }
    return parse(QString::fromUtf8(file.readAll()), error);
}

bool Scenario::parse(const QString &text, QString *error)
{
    list.clear();
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        QString line = lines.at(i);
        const int hash = line.indexOf(QLatin1Char('#'));
        if (hash >= 0)
            line.truncate(hash);
        line = line.simplified();
        if (line.isEmpty())
            continue;
        Step step;
        step.line = i + 1;
        step.text = line;
        QString why;
        if (!parseLine(line, &step, &why)) {
            *error = QStringLiteral("line %1: %2").arg(i + 1).arg(why);
            return false;
        }
        list << step;
    }
    return true;
}

bool Scenario::usesAudio() const
{
    for (const Step &step : list) {
        if (step.kind == Kind::Audio)
            return true;
    }
    return false;
}

bool Scenario::parseDuration(const QString &text, int *ms)
{
    static const QRegularExpression re(QStringLiteral("^(\\d+(?:\\.\\d+)?)(ms|s|min)$"));
    const QRegularExpressionMatch m = re.match(text);
    if (!m.hasMatch())
        return false;
    const double value = m.captured(1).toDouble();
    const QString unit = m.captured(2);
    const double scale = unit == QLatin1String("ms") ? 1 : unit == QLatin1String("s") ? 1000 : 60000;
    const double result = value * scale;
    if (result > 24.0 * 3600 * 1000)
        return false;
    *ms = int(result + 0.5);
    return true;
}

bool Scenario::parseNumber(const QString &text, int min, int max, int *value)
{
    bool ok = false;
    const int v = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)
                      ? text.mid(2).toInt(&ok, 16)
                      : text.toInt(&ok, 10);
    if (!ok || v < min || v > max)
        return false;
    *value = v;
    return true;
}

bool Scenario::parseAnswerMode(const QString &text, QString *mode, QByteArray *bytes)
{
    const QString t = text.simplified();
    if (t == QLatin1String("echo") || t == QLatin1String("none")) {
        *mode = t;
        bytes->clear();
        return true;
    }
    if (t.isEmpty() || !FrameCodec::fromHex(t, bytes))
        return false;
    *mode = QStringLiteral("bytes");
    return true;
}

bool Scenario::parseLine(const QString &text, Step *step, QString *error)
{
    QStringList args = text.split(QLatin1Char(' '));
    const QString word = args.takeFirst();
    const QString rest = args.join(QLatin1Char(' '));

    // `fixed` arguments left in `args`, then an optional duration: "idle",
    // "idle 2s", "status 0x0A 2s".
    auto optionalDuration = [&](int fixed) {
        if (args.size() > fixed + 1) {
            *error = QStringLiteral("too many arguments");
            return false;
        }
        if (args.size() == fixed + 1 && !parseDuration(args.last(), &step->ms)) {
            *error = QStringLiteral("bad duration '%1' (use e.g. 250ms, 2s, 1min)").arg(args.last());
            return false;
        }
        return true;
    };

    if (word == QLatin1String("idle") || word == QLatin1String("talk") || word == QLatin1String("door")
        || word == QLatin1String("silence")) {
        step->kind = word == QLatin1String("idle")   ? Kind::Idle
                     : word == QLatin1String("talk") ? Kind::Talk
                     : word == QLatin1String("door") ? Kind::Door
                                                     : Kind::Silence;
        return optionalDuration(0);
    }
    if (word == QLatin1String("sleep")) {
        step->kind = Kind::Sleep;
        if (args.size() != 1 || !parseDuration(args.first(), &step->ms)) {
            *error = QStringLiteral("sleep needs one duration");
            return false;
        }
        return true;
    }
    if (word == QLatin1String("call")) {
        step->kind = Kind::Call;
        if (args.isEmpty() || !parseNumber(args.takeFirst(), 0, 9999, &step->number)) {
            *error = QStringLiteral("call needs an apartment number 0..9999");
            return false;
        }
        if (!args.isEmpty() && args.first() == QLatin1String("from")) {
            args.removeFirst();
            if (args.isEmpty() || !parseNumber(args.takeFirst(), 0, 255, &step->unit)) {
                *error = QStringLiteral("'from' needs a call unit 0..255");
                return false;
            }
        }
        return optionalDuration(0);
    }
    if (word == QLatin1String("hangup")) {
        step->kind = Kind::Hangup;
        step->number = ShieldModel::defaultEndingFrames;
        if (args.size() > 1 || (args.size() == 1 && !parseNumber(args.first(), 1, 100, &step->number))) {
            *error = QStringLiteral("hangup takes an optional count of ending frames 1..100");
            return false;
        }
        return true;
    }
    if (word == QLatin1String("status")) {
        step->kind = Kind::Status;
        if (args.isEmpty() || !parseNumber(args.first(), 0, 255, &step->number)) {
            *error = QStringLiteral("status needs a byte, e.g. 0x0A");
            return false;
        }
        return optionalDuration(1);
    }
    if (word == QLatin1String("raw")) {
        step->kind = Kind::Raw;
        if (!FrameCodec::fromHex(rest, &step->bytes) || step->bytes.isEmpty()) {
            *error = QStringLiteral("raw needs hex bytes, e.g. fa 01 f5");
            return false;
        }
        return true;
    }
    if (word == QLatin1String("split")) {
        step->kind = Kind::Split;
        const QStringList parts = rest.split(QLatin1Char('|'));
        for (const QString &part : parts) {
            Chunk chunk;
            const QString p = part.trimmed();
            if (parseDuration(p, &chunk.pauseMs)) {
                step->chunks << chunk;
                continue;
            }
            if (p.isEmpty() || !FrameCodec::fromHex(p, &chunk.bytes)) {
                *error = QStringLiteral("split parts are hex bytes or pauses: '%1'").arg(p);
                return false;
            }
            step->chunks << chunk;
        }
        return true;
    }
    if (word == QLatin1String("garbage")) {
        step->kind = Kind::Garbage;
        if (args.size() != 1 || !parseNumber(args.first(), 1, 4096, &step->number)) {
            *error = QStringLiteral("garbage needs a byte count 1..4096");
            return false;
        }
        return true;
    }
    if (word == QLatin1String("audio")) {
        step->kind = Kind::Audio;
        if (args.size() != 1 || !parseNumber(args.first(), 1, 1000000, &step->number)) {
            *error = QStringLiteral("audio needs a frame count");
            return false;
        }
        return true;
    }
    if (word == QLatin1String("babble")) {
        step->kind = Kind::Babble;
        if (args.size() != 1 || !parseDuration(args.first(), &step->ms) || step->ms == 0) {
            *error = QStringLiteral("babble needs one duration");
            return false;
        }
        return true;
    }
    if (word == QLatin1String("wait")) {
        if (args.isEmpty()) {
            *error = QStringLiteral("wait what? pickup, open, drop, audio or polls N");
            return false;
        }
        const QString what = args.takeFirst();
        if (what == QLatin1String("audio")) {
            step->kind = Kind::WaitAudio;
        } else if (what == QLatin1String("polls")) {
            step->kind = Kind::WaitPolls;
            if (args.isEmpty() || !parseNumber(args.takeFirst(), 1, 1000000, &step->number)) {
                *error = QStringLiteral("wait polls needs a count");
                return false;
            }
        } else if (what == ShieldModel::eventName(ShieldModel::Event::Pickup)
                   || what == ShieldModel::eventName(ShieldModel::Event::Open)
                   || what == ShieldModel::eventName(ShieldModel::Event::Drop)) {
            step->kind = Kind::WaitEvent;
            step->event = what;
            const int orAt = args.indexOf(QStringLiteral("or"));
            if (orAt >= 0) {
                if (orAt + 2 >= args.size() || args.at(orAt + 1) != QLatin1String("type") || orAt == 0) {
                    *error = QStringLiteral("use: wait %1 DUR or type TEXT").arg(what);
                    return false;
                }
                step->typeText = args.mid(orAt + 2).join(QLatin1Char(' '));
                args = args.mid(0, orAt);
            }
        } else {
            *error = QStringLiteral("cannot wait for '%1'").arg(what);
            return false;
        }
        step->noTimeout = args.isEmpty();
        return optionalDuration(0);
    }
    if (word == QLatin1String("expect-cmd")) {
        step->kind = Kind::ExpectCmd;
        step->ms = 10000;
        if (args.isEmpty() || !parseNumber(args.first(), 0, 255, &step->number)) {
            *error = QStringLiteral("expect-cmd needs a command code");
            return false;
        }
        return optionalDuration(1);
    }
    if (word == QLatin1String("answer")) {
        step->kind = Kind::Answer;
        if (!parseAnswerMode(rest, &step->answerMode, &step->bytes)) {
            *error = QStringLiteral("answer takes echo, none or hex bytes");
            return false;
        }
        return true;
    }
    if (word == QLatin1String("quit")) {
        step->kind = Kind::Quit;
        if (!args.isEmpty()) {
            *error = QStringLiteral("quit takes no arguments");
            return false;
        }
        return true;
    }
    *error = QStringLiteral("unknown step '%1'").arg(word);
    return false;
}
