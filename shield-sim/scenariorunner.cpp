#include "scenariorunner.h"

#include "audiopeer.h"
#include "shieldsim.h"
#include "tracer.h"

#include <QTimer>

ScenarioRunner::ScenarioRunner(const Scenario &scenario, ShieldSim *sim, AudioPeer *audio, Tracer *tracer,
                               uint32_t seed, QObject *parent)
    : QObject(parent), steps(scenario.steps()), sim(sim), audio(audio), tracer(tracer), timer(new QTimer(this)),
      random(seed)
{
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer, &QTimer::timeout, this, &ScenarioRunner::onTimer);
    connect(sim, &ShieldSim::lineEvent, this, &ScenarioRunner::onLineEvent);
    connect(sim, &ShieldSim::pollHandled, this, &ScenarioRunner::onPoll);
    connect(audio, &AudioPeer::allReturned, this, &ScenarioRunner::onAudioBack);
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
            return;
        }
        const Scenario::Step &step = steps.at(index);
        tracer->event(where(), QStringLiteral("step"),
                      {{QStringLiteral("line"), QString::number(step.line)}, {QStringLiteral("text"), step.text}});
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
    case Kind::Audio:
        audio->send(step.number);
        return true;
    case Kind::WaitAudio:
        if (audio->allBack())
            return true;
        waiting = Wait::Audio;
        if (!step.noTimeout)
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
        break;
    case Wait::Event:
        if (!step.typeText.isEmpty() && !typedFallback) {
            // Nobody typed it in time: type it and wait for its effect.
            typedFallback = true;
            tracer->event(QStringLiteral("typing '%1'").arg(step.typeText), QStringLiteral("type"),
                          {{QStringLiteral("line"), QString::number(step.line)}, {QStringLiteral("text"), step.typeText}});
            emit typeRequested(step.typeText);
            timer->start(fallbackWaitMs);
            return;
        }
        Q_FALLTHROUGH();
    case Wait::Polls:
    case Wait::Audio:
        tracer->event(QStringLiteral("timed out: %1").arg(where()), QStringLiteral("timeout"),
                      {{QStringLiteral("line"), QString::number(step.line)}});
        break;
    case Wait::Cmd: {
        const QString why = QStringLiteral("expect-cmd failed: no poll with command 0x%1 within %2 ms (line %3)")
                                .arg(step.number, 2, 16, QLatin1Char('0')).arg(step.ms).arg(step.line);
        stopped = true;
        waiting = Wait::None;
        Tracer::message(why);
        tracer->event(QString(), QStringLiteral("expect-fail"),
                      {{QStringLiteral("line"), QString::number(step.line)},
                       {QStringLiteral("cmd"), QStringLiteral("0x%1").arg(step.number, 2, 16, QLatin1Char('0'))}});
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

void ScenarioRunner::onAudioBack()
{
    if (!stopped && waiting == Wait::Audio)
        stepDone();
}

void ScenarioRunner::onPoll(uint8_t cmd, bool answered)
{
    if (stopped)
        return;
    if (waiting == Wait::Polls && answered && --pollsLeft <= 0) {
        stepDone();
    } else if (waiting == Wait::Cmd && cmd == steps.at(index).number) {
        tracer->event(QStringLiteral("expect-cmd ok"), QStringLiteral("expect-ok"),
                      {{QStringLiteral("line"), QString::number(steps.at(index).line)}});
        stepDone();
    }
}
