#include <QProcess>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>
#include <memory>

#ifndef TMX_DRIVER_PATH
#error "TMX_DRIVER_PATH must name the tmx-driver executable"
#endif

// The audio path of the running daemon, with the stand-in board library in
// loopback and nobody sending: idle frames come out, one per exchange. That
// frames sent come back once, in order, is the end-to-end audio case's
// check, with the simulator's audio peer.

static const quint16 fromDaemonPort = 20002;

static QByteArray idleFrame()
{
    return QByteArray::fromHex(QByteArray("ff7f").repeated(128));
}

class tst_AudioProcess : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void idleFramesFlowWithoutInput();
    void traceShowsSelectedTransfers();

private:
    QString daemonStderr() const;

    QTemporaryDir dir;
    QString tracePath;
    QProcess daemon;
    QByteArray daemonStdout;
    QUdpSocket receiver;
    QList<QByteArray> received;
};

void tst_AudioProcess::initTestCase()
{
    QVERIFY(dir.isValid());
    tracePath = dir.filePath(QStringLiteral("spi-trace"));

    QVERIFY2(receiver.bind(QHostAddress(QHostAddress::LocalHost), fromDaemonPort),
             "port 20002 is busy: another program holds it; run the test through netns-run, as ctest does, for a network of its own");
    connect(&receiver, &QUdpSocket::readyRead, this, [this] {
        while (receiver.hasPendingDatagrams()) {
            QByteArray datagram(int(qMax<qint64>(receiver.pendingDatagramSize(), 0)), Qt::Uninitialized);
            receiver.readDatagram(datagram.data(), datagram.size());
            received.append(datagram);
        }
    });

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LORENTAK_USART_PORT"), QStringLiteral("/nonexistent"));
    env.insert(QStringLiteral("LORENTAK_SPI"), QStringLiteral("loopback"));
    env.insert(QStringLiteral("LORENTAK_SPI_TRACE"), tracePath);
    daemon.setProcessEnvironment(env);
    daemon.setStandardErrorFile(dir.filePath(QStringLiteral("stderr")));
    connect(&daemon, &QProcess::readyReadStandardOutput, this,
            [this] { daemonStdout += daemon.readAllStandardOutput(); });
    daemon.start(QStringLiteral(TMX_DRIVER_PATH), {QStringLiteral("-ic"), QStringLiteral("102")});
    QVERIFY2(daemon.waitForStarted(10000), qPrintable(daemon.errorString()));

    QTRY_VERIFY2_WITH_TIMEOUT(daemonStdout.contains("\nshield_ready\n"),
                              qPrintable(QString::fromUtf8(daemonStdout) + daemonStderr()), 20000);
}

void tst_AudioProcess::cleanupTestCase()
{
    if (daemon.state() != QProcess::NotRunning) {
        daemon.kill();
        daemon.waitForFinished(10000);
    }
}

QString tst_AudioProcess::daemonStderr() const
{
    QFile file(dir.filePath(QStringLiteral("stderr")));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QStringLiteral("\nstderr:\n") + QString::fromUtf8(file.readAll());
}

void tst_AudioProcess::idleFramesFlowWithoutInput()
{
    received.clear();
    QTRY_VERIFY2_WITH_TIMEOUT(received.size() >= 10, qPrintable(daemonStderr()), 10000);
    const QByteArray idle = idleFrame();
    for (const QByteArray &datagram : qAsConst(received))
        QCOMPARE(datagram.toHex(), idle.toHex());
}

void tst_AudioProcess::traceShowsSelectedTransfers()
{
    QByteArray text;
    QList<QByteArray> transfers;
    QTRY_VERIFY_WITH_TIMEOUT(([&] {
                                 QFile file(tracePath);
                                 text = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
                                 text.truncate(text.lastIndexOf('\n') + 1);
                                 transfers.clear();
                                 for (const QByteArray &line : text.split('\n')) {
                                     if (line.startsWith("xfer "))
                                         transfers << line;
                                 }
                                 return transfers.size() >= 100;
                             }()),
                             20000);
    QVERIFY2(!text.contains("error cs\n"), "a transfer ran without chip select");
    for (const QByteArray &line : qAsConst(transfers))
        QVERIFY2(line.endsWith(" 256"), line.constData());
}

QTEST_GUILESS_MAIN(tst_AudioProcess)

#include "tst_audio_process.moc"
