// The console reader as the daemon runs it, without the shield link: the
// reader on a thread of its own fed by this process's standard input, and the
// main thread's event loop. SIGUSR1 asks for one "runner: state ..." line
// with what the reader has changed so far.

#include "console.h"
#include "consolescan.h"
#include "rooms.h"
#include "settings.h"
#include "usartdata.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QStringList>
#include <QThread>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

static int wakePipe[2];

static void onStateRequest(int)
{
    const char byte = 's';
    (void)!write(wakePipe[1], &byte, 1);
}

static QString apartments(const std::atomic<uint32_t> *mask)
{
    QStringList numbers;
    for (int n = 0; n <= Rooms::maxRoom; ++n) {
        if (Rooms::isInMask(mask, n))
            numbers.append(QString::number(n));
    }
    return numbers.join(QLatin1Char(','));
}

static QString state(const Settings *settings, UsartData *usartData, const Rooms *rooms)
{
    QStringList messages;
    while (usartData->messageTx.detect_data())
        messages.append(QString::fromLatin1(usartData->messageTx.get_data().toHex()));
    return QStringLiteral("runner: state cmd=%1 door=%2 intercom=%3 gate=%4 message=%5 imit=%6 black=%7")
        .arg(usartData->orangeCMD.load())
        .arg(usartData->openDoor.load())
        .arg(settings->setIntercom.load())
        .arg(settings->flagAdrGate.load())
        .arg(messages.join(QLatin1Char(',')), apartments(rooms->readImitPhone),
             apartments(rooms->readBlackPhone));
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);

    Settings *settings = new Settings();
    UsartData *usartData = new UsartData();
    Rooms *rooms = new Rooms();

    if (pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        qFatal("runner: cannot make a pipe");
    struct sigaction action = {};
    action.sa_handler = onStateRequest;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, nullptr);

    QSocketNotifier notifier(wakePipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
        char bytes[64];
        while (read(wakePipe[0], bytes, sizeof bytes) > 0) {
        }
        Console::writeLine(state(settings, usartData, rooms));
    });

    QThread *treadConsole = new QThread();
    ConsoleScan *consoleScan = new ConsoleScan(settings, usartData, rooms);
    if (!QObject::connect(treadConsole, SIGNAL(started()), consoleScan, SLOT(cycle_scan()),
                          Qt::AutoConnection))
        qFatal("runner: cannot connect the console thread");
    consoleScan->moveToThread(treadConsole);
    treadConsole->start(QThread::InheritPriority);

    Console::writeLine(QStringLiteral("runner: ready"));
    return app.exec();
}
