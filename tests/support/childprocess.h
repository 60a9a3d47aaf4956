#pragma once

// A child process that dies with its parent: a test killed by its time-out,
// or a simulator killed outright, leaves no daemon, phone or broker behind
// holding ports and ptys.

#include <QProcess>

#include <csignal>
#include <sys/prctl.h>

class ChildProcess : public QProcess
{
public:
    // The signal the child gets when the parent dies.
    explicit ChildProcess(int deathSignal = SIGKILL, QObject *parent = nullptr)
        : QProcess(parent), deathSignal(deathSignal)
    {
    }

protected:
    void setupChildProcess() override { prctl(PR_SET_PDEATHSIG, deathSignal); }

private:
    int deathSignal;
};
