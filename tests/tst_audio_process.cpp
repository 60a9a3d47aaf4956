#include <QHash>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>
#include <QtTest>
#include <memory>

#ifndef TMX_DRIVER_PATH
#error "TMX_DRIVER_PATH must name the tmx-driver executable"
#endif

// The audio path of the running daemon, with the stand-in board library in
// loopback: every frame sent to port 20003 comes back on port 20002.

static const quint16 toDaemonPort = 20003;
static const quint16 fromDaemonPort = 20002;
static const int frameSize = 256;

static QByteArray idleFrame()
{
    return QByteArray::fromHex(QByteArray("ff7f").repeated(128));
}

static QByteArray numberedFrame(int n)
{
    QByteArray frame(frameSize, Qt::Uninitialized);
    frame[0] = char(n);
    for (int i = 1; i < frameSize; ++i)
        frame[i] = char(n * 37 + i);
    return frame;
}

class tst_AudioProcess : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void idleFramesFlowWithoutInput();
    void framesComeBackInOrderOnce();
    void traceShowsSelectedTransfers();

private:
    QString daemonStderr() const;

    QTemporaryDir dir;
    QString tracePath;
    QProcess daemon;
    QByteArray daemonStdout;
    QUdpSocket receiver;
    QUdpSocket sender;
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

// The pace only imitates a telephony application; no more than three frames
// are ever on their way, so none can stand in the daemon's queue long enough
// to be dropped for delay, however the two processes are scheduled.
void tst_AudioProcess::framesComeBackInOrderOnce()
{
    const int count = 100;
    const int inFlight = 3;
    QHash<QByteArray, int> numbers;
    for (int n = 1; n <= count; ++n)
        numbers.insert(numberedFrame(n), n);
    const QByteArray idle = idleFrame();

    received.clear();
    int sent = 0;
    int returned = 0;
    int checked = 0;
    auto tally = [&] {
        for (; checked < received.size(); ++checked) {
            if (numbers.contains(received.at(checked)))
                ++returned;
        }
    };
    QTimer pace;
    pace.setTimerType(Qt::PreciseTimer);
    connect(&pace, &QTimer::timeout, this, [&] {
        tally();
        if (sent < count && sent - returned < inFlight) {
            ++sent;
            sender.writeDatagram(numberedFrame(sent), QHostAddress(QHostAddress::LocalHost), toDaemonPort);
        }
    });
    pace.start(16);

    QTRY_VERIFY2_WITH_TIMEOUT(returned == count, qPrintable(daemonStderr()), 30000);
    pace.stop();
    // Idle again after the last one.
    const int afterLast = received.size();
    QTRY_VERIFY_WITH_TIMEOUT(received.size() >= afterLast + 3, 10000);

    QList<int> order;
    int idleFrames = 0;
    for (int i = 0; i < received.size(); ++i) {
        const QByteArray &datagram = received.at(i);
        QCOMPARE(datagram.size(), frameSize);
        if (datagram == idle) {
            ++idleFrames;
            continue;
        }
        QVERIFY2(numbers.contains(datagram),
                 qPrintable(QStringLiteral("datagram %1 is neither idle nor sent: %2")
                                .arg(i).arg(QString::fromLatin1(datagram.toHex()))));
        order.append(numbers.value(datagram));
    }
    QList<int> expected;
    for (int n = 1; n <= count; ++n)
        expected.append(n);
    QCOMPARE(order, expected);
    QVERIFY(idleFrames >= 3);
    QCOMPARE(received.last(), idle);
}

void tst_AudioProcess::traceShowsSelectedTransfers()
{
    QFile file(tracePath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray text = file.readAll();
    text.truncate(text.lastIndexOf('\n') + 1);
    const QList<QByteArray> lines = text.split('\n');

    int transfers = 0;
    for (const QByteArray &line : lines) {
        QVERIFY2(line != "error cs", "a transfer ran without chip select");
        if (!line.startsWith("xfer "))
            continue;
        ++transfers;
        QVERIFY2(line.endsWith(" 256"), line.constData());
    }
    QVERIFY(transfers >= 100);
}

QTEST_GUILESS_MAIN(tst_AudioProcess)

#include "tst_audio_process.moc"
