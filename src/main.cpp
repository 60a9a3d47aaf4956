#include "UsartTimerThread.h"
#include "checkedconnect.h"
#include "console.h"
#include "consolecommand.h"
#include "consolescan.h"
#include "consolevocabulary.h"
#include "rooms.h"
#include "settings.h"
#include "sound.h"
#include "spi.h"
#include "threadspitransmitter.h"
#include "threadusarttransmitter.h"
#include "usartdata.h"
#include "usartparser.h"
#include "lib/libvelk-board-lorentak.h"
#include "log/logservice.h"
#include "udp/udpread.h"
#include "udp/udpwrite.h"

#include <QCoreApplication>
#include <QThread>
#include <cstdio>

static void writeBanner(const Settings *settings, const QString &uid)
{
    Console::writeLine(QStringLiteral("#TMX_Driver_Lorentak_v1.1.10"));
    Console::writeLine(QStringLiteral("TMX_STM_Driver 2.17"));
    QThread::sleep(1);
    Console::writeLine(QString());
    Console::writeLine(QStringLiteral("Intercom: %1").arg(settings->setIntercom.load()));
    Console::writeLine(QStringLiteral("Program_STM: 428"));
    Console::writeLine(QStringLiteral("Shield: 33"));
    Console::writeLine(QStringLiteral("Revision: 4"));
    Console::writeLine(QStringLiteral("ID: lorentak") + uid);
    Console::writeLine(QString());
    QThread::sleep(1);
    Console::writeLine(QStringLiteral("shield_ready"));
    Console::writeLine(QString());
    QThread::msleep(100);
}

// For measurement only: TMX_AUDIO_TARGET=16 makes the daemon keep every
// audio frame up to the queue bound, as it did before the delay controller.
static void setQueueTarget(Sound *sound)
{
    if (!qEnvironmentVariableIsSet("TMX_AUDIO_TARGET"))
        return;
    bool ok = false;
    const int target = qEnvironmentVariableIntValue("TMX_AUDIO_TARGET", &ok);
    if (ok && target >= 1 && target <= UDPread::queueLimit) {
        sound->queueTarget = target;
        fprintf(stderr, "udp: audio delay target %d frames (TMX_AUDIO_TARGET)\n", target);
    } else {
        fprintf(stderr, "udp: TMX_AUDIO_TARGET must be 1 to %d; keeping %d frames\n", UDPread::queueLimit,
                sound->queueTarget);
    }
}

int main(int argc, char *argv[])
{
    setbuf(stdout, nullptr);

    QCoreApplication app(argc, argv);

    Settings *settings = new Settings();
    settings->parser_param(argc, argv);
    QString uid = settings->get_uid();

    logService = new LogService(1);

    writeBanner(settings, uid);

    board_lib_init();
    board_gpio_init();
    board_spi_init();

    // The object graph: created once, in this order, never deleted.
    Rooms *rooms = new Rooms();
    ConsoleCommand *consoleCommand = new ConsoleCommand(settings);
    Sound *sound = new Sound();
    setQueueTarget(sound);
    SPI *spi = new SPI();
    ThreadSpiTransmitter *threadSpiTransmitter = new ThreadSpiTransmitter(16, spi, sound);
    UsartTimerThread *usart = new UsartTimerThread(1);
    UsartData *usartData = new UsartData();
    UsartParser *usartParser = new UsartParser(consoleCommand, usartData, rooms);
    new ThreadUsartTransmitter(200, usart, usartData, usartParser, rooms, consoleCommand);
    QThread *treadConsole = new QThread();
    ConsoleScan *consoleScan = new ConsoleScan(settings, usartData, rooms);

    checkedConnect(treadConsole, SIGNAL(started()), consoleScan, SLOT(cycle_scan()), Qt::AutoConnection);
    consoleScan->moveToThread(treadConsole);

    new UDPread(nullptr, ConsoleVocabulary::audioToDaemonPort, sound);
    UdpWrite *udpWrite = new UdpWrite(nullptr, ConsoleVocabulary::audioFromDaemonPort, sound);

    checkedConnect(threadSpiTransmitter, SIGNAL(data_update()), udpWrite, SLOT(write()), Qt::AutoConnection);

    threadSpiTransmitter->start(QThread::InheritPriority);
    treadConsole->start(QThread::InheritPriority);

    return app.exec();
}
