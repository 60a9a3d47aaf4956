#include "scenariorunner.h"

#include "shieldsim.h"
#include "tracer.h"

#include <QTimer>

ScenarioRunner::ScenarioRunner(const Scenario &scenario, ShieldSim *sim, Tracer *tracer, uint32_t seed,
                               QObject *parent)
    : QObject(parent), steps(scenario.steps()), sim(sim), tracer(tracer), timer(new QTimer(this)),
      random(seed), babbler(sim->pty(), seed)
{
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer, &QTimer::timeout, this, &ScenarioRunner::onTimer);
    connect(sim, &ShieldSim::lineEvent, this, &ScenarioRunner::onLineEvent);
    connect(sim, &ShieldSim::pollHandled, this, &ScenarioRunner::onPoll);
}

void ScenarioRunner::start()
{
    index = -1;
    advance();
}

QString ScenarioRunner::where() const
{
    return QStringLiteral("line %1: %2").arg(steps.at(index).line).arg(steps.at(index).text);
}

void ScenarioRunner::arm(int ms)
{
    waiting = Wait::Timer;
    timer->start(ms);
}

void ScenarioRunner::advance()
{
    while (!stopped) {
        ++index;
        if (index >= steps.size()) {
            tracer->event(QStringLiteral("scenario done"), QStringLiteral("scenario-end"));
            emit finished();
            return;
        }
        const Scenario::Step &step = steps.at(index);
        tracer->event(where(), QStringLiteral("step line=%1 text=%2").arg(step.line).arg(step.text));
        if (!execute(step))
            return;
    }
}

void ScenarioRunner::stepDone()
{
    timer->stop();
    waiting = Wait::None;
    advance();
}

bool ScenarioRunner::execute(const Scenario::Step &step)
{
    using Kind = Scenario::Kind;
    ShieldModel &line = sim->model();
    switch (step.kind) {
    case Kind::Idle:
        line.setIdle();
        break;
    case Kind::Call:
        line.setCall(uint16_t(step.number), uint8_t(step.unit));
        unclaimed.clear();
        break;
    case Kind::Talk:
        line.setConversation();
        break;
    case Kind::Door:
        line.addDoorOnce();
        break;
    case Kind::Hangup:
        if (!line.hangup(step.number))
            tracer->event(QStringLiteral("line already idle or ending"), QString());
        break;
    case Kind::Status:
        line.setRawStatus(uint8_t(step.number));
        break;
    case Kind::Silence:
        line.setSilent(true);
        break;
    case Kind::Sleep:
        break;
    case Kind::Raw:
        sim->inject(step.bytes, QStringLiteral("raw"));
        return true;
    case Kind::Split:
        chunkIndex = 0;
        return runSplit();
    case Kind::Garbage: {
        QByteArray bytes(step.number, '\0');
        for (char &c : bytes)
            c = char(random.bounded(256));
        sim->inject(bytes, QStringLiteral("garbage"));
        return true;
    }
    case Kind::Babble:
        tracer->event(QStringLiteral("-> babble for %1 ms").arg(step.ms),
                      QStringLiteral("tx-babble ms=%1 len=%2 every_us=%3")
                          .arg(step.ms).arg(Babbler::chunkBytes).arg(Babbler::periodUs));
        babbler.start(step.ms);
        break;
    case Kind::WaitEvent:
        typedFallback = false;
        if (unclaimed.value(step.event) > 0) {
            --unclaimed[step.event];
            return true;
        }
        waiting = Wait::Event;
        if (!step.noTimeout)
            timer->start(step.ms);
        return false;
    case Kind::WaitPolls:
        waiting = Wait::Polls;
        pollsLeft = step.number;
        if (!step.noTimeout)
            timer->start(step.ms);
        return false;
    case Kind::ExpectCmd:
        waiting = Wait::Cmd;
        timer->start(step.ms);
        return false;
    case Kind::Answer:
        sim->setMessageAnswer(step.answerMode, step.bytes);
        return true;
    case Kind::Quit:
        stopped = true;
        tracer->event(QStringLiteral("quit"), QStringLiteral("quit"));
        emit quitRequested();
        return false;
    }
    // The line steps hold their state for the step's duration.
    if (step.ms > 0) {
        arm(step.ms);
        return false;
    }
    return true;
}

bool ScenarioRunner::runSplit()
{
    const Scenario::Step &step = steps.at(index);
    while (chunkIndex < step.chunks.size()) {
        const Scenario::Chunk &chunk = step.chunks.at(chunkIndex++);
        if (chunk.bytes.isEmpty()) {
            waiting = Wait::Split;
            timer->start(chunk.pauseMs);
            return false;
        }
        sim->inject(chunk.bytes, QStringLiteral("split"));
    }
    waiting = Wait::None;
    return true;
}

void ScenarioRunner::onTimer()
{
    if (stopped)
        return;
    const Scenario::Step &step = steps.at(index);
    switch (waiting) {
    case Wait::None:
        return;
    case Wait::Split:
        if (runSplit())
            stepDone();
        return;
    case Wait::Timer:
        if (step.kind == Scenario::Kind::Silence)
            sim->model().setSilent(false);
        if (step.kind == Scenario::Kind::Babble) {
            const int64_t bytes = babbler.stop();
            tracer->event(QStringLiteral("babble over, %1 bytes").arg(bytes),
                          QStringLiteral("babble-end bytes=%1").arg(bytes));
        }
        break;
    case Wait::Event:
        if (!step.typeText.isEmpty() && !typedFallback) {
            // Nobody typed it in time: type it and wait for its effect.
            typedFallback = true;
            tracer->event(QStringLiteral("typing '%1'").arg(step.typeText),
                          QStringLiteral("type line=%1 text=%2").arg(step.line).arg(step.typeText));
            emit typeRequested(step.typeText);
            timer->start(fallbackWaitMs);
            return;
        }
        Q_FALLTHROUGH();
    case Wait::Polls:
        tracer->event(QStringLiteral("timed out: %1").arg(where()),
                      QStringLiteral("timeout line=%1").arg(step.line));
        break;
    case Wait::Cmd: {
        const QString why = QStringLiteral("expect-cmd failed: no poll with command 0x%1 within %2 ms (line %3)")
                                .arg(step.number, 2, 16, QLatin1Char('0')).arg(step.ms).arg(step.line);
        stopped = true;
        waiting = Wait::None;
        Tracer::message(why);
        tracer->event(QString(), QStringLiteral("expect-fail line=%1 cmd=0x%2")
                                     .arg(step.line).arg(step.number, 2, 16, QLatin1Char('0')));
        emit failed(why);
        return;
    }
    }
    stepDone();
}

void ScenarioRunner::onLineEvent(ShieldModel::Event event)
{
    const QString name = ShieldModel::eventName(event);
    if (!stopped && waiting == Wait::Event && steps.at(index).event == name) {
        stepDone();
        return;
    }
    ++unclaimed[name];
}

void ScenarioRunner::onPoll(uint8_t cmd, bool answered)
{
    if (stopped)
        return;
    if (waiting == Wait::Polls && answered && --pollsLeft <= 0) {
        stepDone();
    } else if (waiting == Wait::Cmd && cmd == steps.at(index).number) {
        tracer->event(QStringLiteral("expect-cmd ok"), QStringLiteral("expect-ok line=%1").arg(steps.at(index).line));
        stepDone();
    }
}
