#ifndef LOGSERVICE_H
#define LOGSERVICE_H

#include "datatransmission.h"

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <memory>
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
    // Without a sender of the caller's, the service sends UDP to 127.0.0.1
    // (logPort, consolevocabulary.h) with a sender of its own; a caller's
    // sender must outlive the service.
    explicit LogService(size_t ms, LogSenderInterface *sender = nullptr);
    ~LogService() override;

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
    std::unique_ptr<LogSenderInterface> ownSender;
    QTimer *timer;
    DataTransmission writeBuffer;
    QStringList sourceList;
    std::atomic<quint64> droppedUnreported{0};
    QElapsedTimer sinceDropReport;  // drain thread only
};

// The one log service of the process; null until start-up creates it.
extern LogService *logService;

#endif
