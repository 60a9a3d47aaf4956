#include "console.h"
#include "settings.h"
#include "log/logservice.h"
#include "lib/libvelk-board-lorentak.h"

#include <QCoreApplication>
#include <QThread>
#include <cstdio>

static void writeBanner(const Settings *settings, const QString &uid)
{
    Console::writeLine(QStringLiteral("#TMX_Driver_Lorentak_v%1.%2.%3").arg(1).arg(1).arg(10));
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

    return app.exec();
}
