#include "logservice.h"

#include "checkedconnect.h"
#include "consolevocabulary.h"
#include "logsenderudp.h"

#include <QDateTime>
#include <QTimer>
#include <cstdarg>
#include <cstdio>

LogService *logService = nullptr;

LogService::LogService(size_t ms, LogSenderInterface *sender)
    : ownSender(sender ? nullptr : new LogSenderUDP(ConsoleVocabulary::logPort))
    , timer(new QTimer())
{
    logSender = sender ? sender : ownSender.get();
    timer->setTimerType(Qt::PreciseTimer);
    checkedConnect(timer, SIGNAL(timeout()), this, SLOT(slotTimeOut()), Qt::DirectConnection);

    sourceOn(QStringLiteral("main"));
    debug(QStringLiteral("main"), "test");
    sourceOn(QStringLiteral("Controller"));
    sourceOn(QStringLiteral("Uart WRITE"));
    sourceOn(QStringLiteral("Uart READ"));
    sourceOn(QStringLiteral("Console"));

    timer->start(int(ms));
}

// The daemon's service lives as long as the process; tests end theirs.
LogService::~LogService()
{
    delete timer;
}

void LogService::debug(QString source, QByteArray massage)
{
    if (!sourceCheck(source))
        return;
    QByteArray line("[Debug]");
    line += QDateTime::currentDateTime().toString(QStringLiteral("[hh:mm:ss.zzz]")).toUtf8();
    line += " [";
    line += source.toUtf8();
    line += "]: ";
    line += massage;
    line += "\r\n";
    send(line);
}

void LogService::debug(const QString &source, const char *format, ...)
{
    if (!sourceCheck(source))
        return;
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    debug(source, QByteArray(text));
}

void LogService::error(QString source, QByteArray massage)
{
    if (!sourceCheck(source))
        return;
    QByteArray line("[ERROR]");
    line += " [";
    line += source.toUtf8();
    line += "]: ";
    line += massage;
    send(line);
}

void LogService::send(QByteArray massage)
{
    const int dropped = writeBuffer.set_data_bounded(massage, maxQueuedLines);
    if (dropped > 0)
        droppedUnreported.fetch_add(quint64(dropped));
}

void LogService::slotTimeOut()
{
    reportDrops();
    if (!writeBuffer.detect_data())
        return;
    logSender->send(writeBuffer.get_data());
}

// Runs on every drain tick, so the last drops of a flood are told too.
void LogService::reportDrops()
{
    if (droppedUnreported.load() == 0
        || (sinceDropReport.isValid() && sinceDropReport.elapsed() < dropReportMs))
        return;
    fprintf(stderr, "log: lines come faster than they can be sent; dropped %llu oldest line(s) "
                    "to keep at most %d waiting\n",
            static_cast<unsigned long long>(droppedUnreported.exchange(0)), maxQueuedLines);
    sinceDropReport.start();
}

void LogService::sourceOn(QString source)
{
    sourceList.append(source);
}

bool LogService::sourceCheck(QString source) const
{
    return sourceList.contains(source, Qt::CaseSensitive);
}
