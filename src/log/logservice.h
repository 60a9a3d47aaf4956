#ifndef LOGSERVICE_H
#define LOGSERVICE_H

#include "datatransmission.h"

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <atomic>

class LogSenderInterface;
class QTimer;

// Formats diagnostic lines, filters them by source and queues them; a timer
// on the thread that created the service sends one line per tick to the sink.
// At most maxQueuedLines wait: when lines come faster than they can leave,
// the oldest go, and standard error says how many, at most once a second.
class LogService : public QObject
{
    Q_OBJECT
public:
    explicit LogService(size_t ms, LogSenderInterface *sender = nullptr);

    void debug(QString source, QByteArray massage);
    void debug(const QString &source, const char *format, ...)
        __attribute__((format(printf, 3, 4)));
    void error(QString source, QByteArray massage);
    void send(QByteArray massage);

    static const int maxQueuedLines = 2000;
    static const int dropReportMs = 1000;

private slots:
    virtual void slotTimeOut();

private:
    void sourceOn(QString source);
    bool sourceCheck(QString source) const;
    void reportDrops();

    LogSenderInterface *logSender;
    QTimer *timer;
    DataTransmission writeBuffer;
    QStringList sourceList;
    std::atomic<quint64> droppedUnreported{0};
    QElapsedTimer sinceDropReport;  // drain thread only
};

// The one log service of the process; null until start-up creates it.
extern LogService *logService;

#endif
