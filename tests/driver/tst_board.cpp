// On the board itself: the daemon with the vendor's board library against the
// real shield. Runs when TMX_BOARD_PORT names the serial port that leads to
// the shield and the build links the vendor's library
// (-DLORENTAK_VENDOR_LIB=/path/to/libvelk-board-lorentak.so.1); skips with a
// note on how to run it otherwise.

#include <QElapsedTimer>
#include <QFileInfo>
#include <QNetworkDatagram>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#ifndef TMX_DRIVER_PATH
#error "TMX_DRIVER_PATH must name the tmx-driver executable"
#endif

class tst_Board : public QObject
{
    Q_OBJECT

private slots:
    void daemonOnTheShield();
};

void tst_Board::daemonOnTheShield()
{
    const QString port = qEnvironmentVariable("TMX_BOARD_PORT");
#ifndef TMX_VENDOR_LIB
    QSKIP("a test for the board: configure with -DLORENTAK_VENDOR_LIB=/path/to/libvelk-board-lorentak.so.1 "
          "and run it there with TMX_BOARD_PORT=/dev/ttyS1 (the shield's serial port)");
#endif
    if (port.isEmpty() || !QFileInfo::exists(port))
        QSKIP("set TMX_BOARD_PORT to the shield's serial port (e.g. /dev/ttyS1) to run this test on the board");

    QUdpSocket log;
    QUdpSocket audio;
    QVERIFY(log.bind(QHostAddress::LocalHost, 20004));
    QVERIFY(audio.bind(QHostAddress::LocalHost, 20002));
    QTemporaryDir dir;
    QProcess daemon;
    daemon.setStandardErrorFile(dir.filePath(QStringLiteral("stderr")));
    daemon.start(QStringLiteral(TMX_DRIVER_PATH), {QStringLiteral("-ic"), QStringLiteral("102")});
    QVERIFY(daemon.waitForStarted(10000));
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += daemon.readAllStandardOutput(), out.contains("\nshield_ready\n")), 20000);
    QVERIFY2(out.startsWith("#TMX_Driver_Lorentak_v1.1.10\n"), out.constData());
    QVERIFY2(QRegularExpression(QStringLiteral("\nID: lorentak[0-9a-f]{12}\n")).match(QString::fromLatin1(out)).hasMatch(),
             "no device identity from the board's Ethernet address");

    // The shield answers the polls: frames from it show in the serial trace.
    int answers = 0;
    QTRY_VERIFY_WITH_TIMEOUT(([&] {
                                 while (log.hasPendingDatagrams()) {
                                     const QByteArray line = log.receiveDatagram().data();
                                     answers += line.contains("[Uart READ]: FA ");
                                 }
                                 return answers >= 3;
                             }()),
                             10000);

    // The SPI exchange runs at its 16 ms pace: one frame comes out per exchange.
    while (audio.hasPendingDatagrams())
        audio.receiveDatagram();
    QElapsedTimer clock;
    clock.start();
    int frames = 0;
    QTRY_VERIFY_WITH_TIMEOUT(([&] {
                                 while (audio.hasPendingDatagrams())
                                     frames += audio.receiveDatagram().data().size() == 256;
                                 return frames >= 125;
                             }()),
                             10000);
    const double period = double(clock.elapsed()) / frames;
    QVERIFY2(period > 14.0 && period < 18.0, qPrintable(QStringLiteral("%1 ms per exchange").arg(period)));

    daemon.kill();
    daemon.waitForFinished(10000);
    QFile err(dir.filePath(QStringLiteral("stderr")));
    QVERIFY(err.open(QIODevice::ReadOnly));
    QVERIFY2(err.readAll().contains("DEBUG: USART: Успешно открыт порт"), "the serial port did not open");
}

QTEST_GUILESS_MAIN(tst_Board)
#include "tst_board.moc"
