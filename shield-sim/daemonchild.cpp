#include "daemonchild.h"

#include "childprocess.h"
#include "tracer.h"

#include <QProcess>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <unistd.h>

namespace {

void writeAll(int fd, const QByteArray &bytes)
{
    int done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += int(n);
    }
}

}

DaemonChild::DaemonChild(Tracer *tracer, QObject *parent)
    : QObject(parent), tracer(tracer), process(new ChildProcess(SIGTERM, this))
{
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    connect(process, &QProcess::readyReadStandardOutput, this, &DaemonChild::forwardOutput);
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &DaemonChild::onFinished);
}

bool DaemonChild::start(const QStringList &command, const QString &ptyPath)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LORENTAK_USART_PORT"), ptyPath);
    process->setProcessEnvironment(env);
    process->setProgram(command.first());
    process->setArguments(command.mid(1));
    process->start(QIODevice::ReadWrite);
    if (!process->waitForStarted(10000)) {
        Tracer::message(QStringLiteral("cannot start %1: %2").arg(command.first(), process->errorString()));
        return false;
    }
    const QString pid = QString::number(process->processId());
    tracer->event(QStringLiteral("started %1 (pid %2)").arg(command.join(QLatin1Char(' ')), pid),
                  QStringLiteral("child-start"), {{QStringLiteral("pid"), pid}});

    stdinNotifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(stdinNotifier, &QSocketNotifier::activated, this, &DaemonChild::forwardInput);
    return true;
}

void DaemonChild::forwardInput()
{
    char chunk[4096];
    const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0) {
        // The daemon's standard input stays open: a scenario may still type
        // answers into it, and a daemon whose input has ended reads no more.
        stdinNotifier->setEnabled(false);
        tracer->event(QStringLiteral("standard input ended; the daemon's stays open"), QStringLiteral("stdin-end"));
        return;
    }
    process->write(chunk, n);
}

void DaemonChild::type(const QString &line)
{
    if (process->state() == QProcess::Running)
        process->write((line + QLatin1Char('\n')).toUtf8());
}

void DaemonChild::forwardOutput()
{
    writeAll(STDOUT_FILENO, process->readAllStandardOutput());
}

void DaemonChild::stop()
{
    if (process->state() == QProcess::NotRunning)
        return;
    stopping = true;
    process->terminate();
    if (!process->waitForFinished(3000)) {
        process->kill();
        process->waitForFinished(3000);
    }
    forwardOutput();
    tracer->event(QStringLiteral("child stopped"), QStringLiteral("child-stop"));
}

void DaemonChild::onFinished()
{
    if (stopping)
        return;
    forwardOutput();
    const int status = process->exitStatus() == QProcess::NormalExit ? process->exitCode()
                                                                      : 128 + process->exitCode();
    tracer->event(QStringLiteral("child exited with status %1").arg(status), QStringLiteral("child-exit"),
                  {{QStringLiteral("status"), QString::number(status)}});
    emit exited(status);
}
