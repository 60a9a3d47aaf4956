#include "delaycontroller.h"
#include "sound.h"
#include "stdoutcapture.h"
#include "udp/udpread.h"
#include "udp/udpwrite.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QUdpSocket>
#include <QtTest>
#include <memory>

static const quint16 audioPort = 20003;
static const char overflowLine[] = "ERROR: Переполнение буффера более чем в 10 раз!";

static QStringList debugMessages;

static void keepMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    debugMessages.append(message);
}

static QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &byte : bytes)
        byte = char(generator.bounded(256));
    return bytes;
}

// Frame n of a burst: its number, then the offsets 1 ... 255, so a frame cut
// off its boundary shows.
static QByteArray burstFrame(int n)
{
    QByteArray frame(Sound::frameSize, Qt::Uninitialized);
    frame[0] = char(n);
    for (int i = 1; i < frame.size(); ++i)
        frame[i] = char(i);
    return frame;
}

class tst_UDPread : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void framing_data();
    void framing();
    void lateFramesDropOldest_data();
    void lateFramesDropOldest();
    void stalePartialFrame();
    void failedBindIsReported();
    void senderReportsSkippedFrames();

private:
    bool makeReader(int target = DelayController::defaultTarget);
    void send(const QByteArray &datagram);
    QList<QByteArray> drain();
    int queued() const { return sound->dataToShieldBuffer.size(); }

    QUdpSocket sender;
    std::unique_ptr<Sound> sound;
    std::unique_ptr<UDPread> reader;
};

void tst_UDPread::initTestCase()
{
    qInstallMessageHandler(keepMessage);
}

void tst_UDPread::cleanup()
{
    reader.reset();
    sound.reset();
    debugMessages.clear();
}

bool tst_UDPread::makeReader(int target)
{
    sound.reset(new Sound);
    sound->queueTarget = target;
    StdoutCapture err(STDERR_FILENO);
    reader.reset(new UDPread(nullptr, audioPort, sound.get()));
    err.stop();
    const QStringList lines = err.lines();
    if (!lines.isEmpty())
        qWarning("%s", qPrintable(lines.join(QLatin1Char('\n'))));
    return lines.isEmpty();
}

void tst_UDPread::send(const QByteArray &datagram)
{
    const qint64 sent = sender.writeDatagram(datagram, QHostAddress(QHostAddress::LocalHost), audioPort);
    QCOMPARE(sent, qint64(datagram.size()));
}

QList<QByteArray> tst_UDPread::drain()
{
    QList<QByteArray> frames;
    while (sound->dataToShieldBuffer.detect_data())
        frames.append(sound->dataToShieldBuffer.get_data());
    return frames;
}

void tst_UDPread::framing_data()
{
    QTest::addColumn<QList<int>>("sizes");
    QTest::addColumn<QList<int>>("refused");  // indices into sizes
    QTest::addColumn<int>("frames");
    QTest::addColumn<int>("pending");

    QTest::newRow("one whole frame") << QList<int>{256} << QList<int>{} << 1 << 0;
    QTest::newRow("three datagrams of 100") << QList<int>{100, 100, 100} << QList<int>{} << 1 << 44;
    QTest::newRow("1000 bytes at once") << QList<int>{1000} << QList<int>{} << 3 << 232;
    QTest::newRow("ten frames at once") << QList<int>{2560} << QList<int>{} << 10 << 0;
    QTest::newRow("one byte over ten frames") << QList<int>{2561} << QList<int>{0} << 0 << 0;
    QTest::newRow("200 waiting, then up to the limit") << QList<int>{200, 2360} << QList<int>{} << 10 << 0;
    QTest::newRow("200 waiting, then one byte over") << QList<int>{200, 2361} << QList<int>{1} << 0 << 200;
    QTest::newRow("255 waiting, then up to the limit") << QList<int>{255, 2305} << QList<int>{} << 10 << 0;
    QTest::newRow("refused datagram leaves later ones alone")
        << QList<int>{2561, 256, 100} << QList<int>{0} << 1 << 100;
    QTest::newRow("empty datagram") << QList<int>{0} << QList<int>{} << 0 << 0;
    QTest::newRow("empty datagram between two halves") << QList<int>{128, 0, 128} << QList<int>{} << 1 << 0;
    QTest::newRow("one odd byte shifts the frame boundary") << QList<int>{1, 256} << QList<int>{} << 1 << 1;
    QTest::newRow("odd lengths joined") << QList<int>{101, 155, 3} << QList<int>{} << 1 << 3;
    QTest::newRow("frames spanning many datagrams")
        << QList<int>{100, 100, 100, 100, 100, 100, 100} << QList<int>{} << 2 << 188;
}

// After the row's datagrams a marker completes the partial frame; once the
// queue holds it, every datagram before it has been handled. Nobody takes
// frames here, so the target is the bound: no frame counts as late.
void tst_UDPread::framing()
{
    QFETCH(QList<int>, sizes);
    QFETCH(QList<int>, refused);
    QFETCH(int, frames);
    QFETCH(int, pending);

    QVERIFY(makeReader(UDPread::queueLimit));
    QCOMPARE(reader->pendingBytes(), 0);

    QByteArray stream;
    for (int i = 0; i < sizes.size(); ++i) {
        const QByteArray datagram = randomBytes(sizes.at(i), quint32(i + 1));
        send(datagram);
        if (!refused.contains(i))
            stream += datagram;
    }
    const QByteArray marker = randomBytes(Sound::frameSize - pending, 99);
    send(marker);
    stream += marker;
    QCOMPARE(stream.size(), (frames + 1) * Sound::frameSize);

    QTRY_COMPARE_WITH_TIMEOUT(queued(), frames + 1, 10000);
    QCOMPARE(reader->pendingBytes(), 0);
    const QList<QByteArray> got = drain();
    QCOMPARE(got.size(), frames + 1);
    for (int i = 0; i < got.size(); ++i)
        QCOMPARE(got.at(i).toHex(), stream.mid(i * Sound::frameSize, Sound::frameSize).toHex());

    QCOMPARE(debugMessages.count(QString::fromUtf8(overflowLine)), refused.size());
    QCOMPARE(reader->framesDropped(), quint64(0));
}

void tst_UDPread::lateFramesDropOldest_data()
{
    QTest::addColumn<int>("target");
    QTest::addColumn<int>("droppedBySecond");
    QTest::addColumn<int>("droppedByThird");
    QTest::addColumn<int>("keep");  // the newest

    // A datagram's first frame may find target + 1 older frames waiting.
    QTest::newRow("target 3: four older frames wait") << 3 << 6 << 16 << 14;
    QTest::newRow("target 16: the queue bound") << 16 << 4 << 14 << 16;
}

// Three datagrams of ten frames each, nobody taking any: the frames of one
// datagram never push each other out, older ones go oldest first.
void tst_UDPread::lateFramesDropOldest()
{
    QFETCH(int, target);
    QFETCH(int, droppedBySecond);
    QFETCH(int, droppedByThird);
    QFETCH(int, keep);

    QVERIFY(makeReader(target));
    QByteArray first, second, third;
    for (int n = 0; n < 10; ++n) {
        first += burstFrame(n);
        second += burstFrame(10 + n);
        third += burstFrame(20 + n);
    }

    StdoutCapture err(STDERR_FILENO);
    QElapsedTimer elapsed;
    elapsed.start();
    send(first);
    send(second);
    QTRY_COMPARE_WITH_TIMEOUT(reader->framesDropped(), quint64(droppedBySecond), 10000);
    QCOMPARE(sound->framesDroppedOnArrival.load(), quint64(droppedBySecond));

    // More drops within the second after the report add no line.
    send(third);
    QTRY_COMPARE_WITH_TIMEOUT(reader->framesDropped(), quint64(droppedByThird), 10000);
    const bool withinOneSecond = elapsed.elapsed() < 900;
    err.stop();
    const QStringList lines = err.lines();

    QCOMPARE(reader->pendingBytes(), 0);
    const QList<QByteArray> got = drain();
    QCOMPARE(got.size(), keep);
    for (int i = 0; i < got.size(); ++i)
        QCOMPARE(got.at(i).toHex(), burstFrame(30 - keep + i).toHex());

    QVERIFY2(!lines.isEmpty(), "no line on standard error");
    QCOMPARE(lines.first(), QStringLiteral("udp: audio for the shield arrives faster than it is sent; "
                                           "dropped %1 oldest frame(s) to keep the delay at %2 frames")
                                .arg(droppedBySecond).arg(target));
    for (const QString &line : lines)
        QVERIFY2(line.startsWith(QLatin1String("udp: ")), qPrintable(line));
    if (withinOneSecond)
        QCOMPARE(lines.size(), 1);
    else
        QVERIFY(lines.size() <= 2);

    // The rest, and the SPI thread's trims, follow once a second has passed.
    sound->framesTrimmed += 5;
    StdoutCapture later(STDERR_FILENO);
    QTRY_VERIFY_WITH_TIMEOUT(!later.lines().isEmpty(), 10000);
    QVERIFY2(later.lines().first().contains(QStringLiteral(" dropped %1 ").arg(
                 withinOneSecond ? droppedByThird - droppedBySecond + 5 : 5)), qPrintable(later.lines().first()));
}

// An odd-length datagram, then a pause: shorter than a second it keeps the
// stream as it is; after a second the odd bytes go and the next frames are
// whole.
void tst_UDPread::stalePartialFrame()
{
    QVERIFY(makeReader());
    const QByteArray odd = randomBytes(Sound::frameSize + 45, 1);
    const QByteArray next = randomBytes(2 * Sound::frameSize, 2);
    StdoutCapture err(STDERR_FILENO);
    QElapsedTimer paused;
    paused.start();
    send(odd);
    QTRY_COMPARE_WITH_TIMEOUT(reader->pendingBytes(), 45, 10000);
    QTest::qWait(400);  // the short pause itself
    if (paused.elapsed() < UDPread::staleAfterMs - 100)
        QCOMPARE(reader->pendingBytes(), 45);

    QTRY_COMPARE_WITH_TIMEOUT(reader->pendingBytes(), 0, 10000);
    QVERIFY(paused.elapsed() >= UDPread::staleAfterMs);
    send(next);
    QTRY_COMPARE_WITH_TIMEOUT(queued(), 3, 10000);
    err.stop();
    QCOMPARE(drain(), QList<QByteArray>() << odd.left(Sound::frameSize) << next.left(Sound::frameSize)
                                          << next.mid(Sound::frameSize));
    QCOMPARE(err.lines(), QStringList{QStringLiteral("udp: discarded 45 bytes of an unfinished "
                                                     "audio frame after 1 s without audio")});
}

void tst_UDPread::failedBindIsReported()
{
    QUdpSocket holder;
    QVERIFY2(holder.bind(QHostAddress(QHostAddress::LocalHost), audioPort, QAbstractSocket::DontShareAddress),
             qPrintable(holder.errorString()));

    sound.reset(new Sound);
    QStringList lines;
    {
        StdoutCapture err(STDERR_FILENO);
        reader.reset(new UDPread(nullptr, audioPort, sound.get()));
        err.stop();
        lines = err.lines();
    }
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().startsWith(QLatin1String("udp: cannot bind")), qPrintable(lines.first()));

    // The audio goes to the socket that holds the port; the reader carries on.
    send(QByteArray(256, 'x'));
    QTRY_VERIFY_WITH_TIMEOUT(holder.hasPendingDatagrams(), 10000);
    reader->writeBufUDP();
    QCOMPARE(queued(), 0);
    reader.reset();
}

// The UDP sender skips the oldest frames from the shield when it falls more
// than its ring behind, and says so at most once a second.
void tst_UDPread::senderReportsSkippedFrames()
{
    sound.reset(new Sound);
    UdpWrite writer(nullptr, 20002, sound.get());
    const QString line =
        QStringLiteral("udp: sending to port 20002 fell behind the shield; skipped %1 received frame(s)");
    StdoutCapture err(STDERR_FILENO);
    for (int i = 0; i < 80; ++i) {
        sound->publishFromShield();
        if (i == 39 || i == 79)
            writer.write();
    }
    // 40 - 16 behind at the first write, 79 - 24 - 16 at the second.
    QCOMPARE(err.lines(), QStringList{line.arg(24)});
    QCOMPARE(sound->framesFromShieldLost(), quint64(24 + 39));
    // One write() per tick, as the SPI thread drives it.
    QTRY_VERIFY_WITH_TIMEOUT((writer.write(), err.lines().size() == 2), 10000);
    QCOMPARE(err.lines().last(), line.arg(39));
}

QTEST_GUILESS_MAIN(tst_UDPread)

#include "tst_udpread.moc"
