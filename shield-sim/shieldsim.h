#ifndef SHIELDSIM_H
#define SHIELDSIM_H

#include "shieldmodel.h"
#include "tracer.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <cstdint>

class PtyPort;

// Routes the daemon's packets: polls go to the line model and are answered
// after a short delay, message packets get the configured answer. Scenario
// steps reach the line through model() and write bytes through inject().
class ShieldSim : public QObject
{
    Q_OBJECT

public:
    ShieldSim(PtyPort *port, Tracer *tracer, int replyDelayMs, QObject *parent = nullptr);

    ShieldModel &model() { return line; }

    // mode "echo": the same bytes back; "none": nothing; "bytes": `bytes`.
    void setMessageAnswer(const QString &mode, const QByteArray &bytes);

    // Writes bytes that are not an answer (raw, split, garbage steps).
    void inject(const QByteArray &bytes, const QString &what);

signals:
    // Emitted once per poll, after its answer went out (or was withheld).
    // Events come first, so a scenario waiting for one sees it before the
    // poll counts.
    void lineEvent(ShieldModel::Event event);
    void pollHandled(uint8_t cmd, bool answered);

private slots:
    void onPacket(const QByteArray &packet, int64_t firstNs, int64_t lastNs);

private:
    void answerPoll(const QByteArray &packet);
    void answerMessage(const QByteArray &packet);
    void later(const QByteArray &packet, void (ShieldSim::*handler)(const QByteArray &));
    void send(const QByteArray &bytes, const QString &human, const QString &kind, Tracer::Fields fields);

    PtyPort *port;
    Tracer *tracer;
    ShieldModel line;
    int replyDelayMs;
    QString answerMode = QStringLiteral("echo");
    QByteArray answerBytes;

    Q_DISABLE_COPY(ShieldSim)
};

#endif
