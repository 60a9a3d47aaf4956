#ifndef SCENARIORUNNER_H
#define SCENARIORUNNER_H

#include "scenario.h"
#include "shieldmodel.h"

#include <QHash>
#include <QObject>
#include <QRandomGenerator>
#include <cstdint>

class AudioPeer;
class QTimer;
class ShieldSim;
class Tracer;

// Plays a scenario's steps one after the other against the shield. Steps
// that take no time run back to back within one call, so a step that
// follows a wait is in force before the simulator reads the next packet.
class ScenarioRunner : public QObject
{
    Q_OBJECT

public:
    ScenarioRunner(const Scenario &scenario, ShieldSim *sim, AudioPeer *audio, Tracer *tracer, uint32_t seed,
                   QObject *parent = nullptr);

    void start();

signals:
    void quitRequested();  // a quit step
    void failed(const QString &why);
    // A line for the daemon's standard input, as the telephony side would type it.
    void typeRequested(const QString &line);

private slots:
    void onLineEvent(ShieldModel::Event event);
    void onPoll(uint8_t cmd, bool answered);
    void onTimer();
    void onAudioBack();

private:
    static const int fallbackWaitMs = 10000;
    enum class Wait { None, Timer, Event, Polls, Cmd, Split, Audio };

    void advance();
    bool execute(const Scenario::Step &step);  // true when the step is already done
    bool runSplit();
    void stepDone();
    void arm(int ms);
    QString where() const;

    QList<Scenario::Step> steps;
    ShieldSim *sim;
    AudioPeer *audio;
    Tracer *tracer;
    QTimer *timer;
    QRandomGenerator random;
    int index = -1;
    Wait waiting = Wait::None;
    int pollsLeft = 0;
    int chunkIndex = 0;
    bool stopped = false;
    bool typedFallback = false;
    // Line events not yet claimed by a wait since the last call step, so a
    // daemon quicker than the scenario does not slip past it.
    QHash<QString, int> unclaimed;

    Q_DISABLE_COPY(ScenarioRunner)
};

#endif
