#ifndef DAEMONCHILD_H
#define DAEMONCHILD_H

#include <QObject>
#include <QStringList>

class QProcess;
class QSocketNotifier;
class Tracer;

// The daemon under test as a child process: it gets the pty through
// LORENTAK_USART_PORT, what arrives on our standard input (its own stays
// open when ours ends), and hands back its standard output unchanged; its
// standard error goes straight to ours.
class DaemonChild : public QObject
{
    Q_OBJECT

public:
    DaemonChild(Tracer *tracer, QObject *parent = nullptr);

    bool start(const QStringList &command, const QString &ptyPath);

    // Writes one line to the child's standard input.
    void type(const QString &line);

    // Ends the child (SIGTERM, SIGKILL after a grace period) without
    // reporting its exit.
    void stop();

signals:
    // Exit status as a shell reports it: the code, or 128 + signal.
    void exited(int status);

private slots:
    void forwardOutput();
    void forwardInput();
    void onFinished();

private:
    Tracer *tracer;
    QProcess *process;
    QSocketNotifier *stdinNotifier = nullptr;
    bool stopping = false;

    Q_DISABLE_COPY(DaemonChild)
};

#endif
