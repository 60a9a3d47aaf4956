#include "sound.h"
#include "spi.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtEndian>
#include <QtTest>
#include <atomic>
#include <memory>

// The board library reads its environment once, on its first call, so the
// trace file and the loopback mode are set in main() before any test runs.
static QString tracePath;

// Run as a child with this variable set, the program makes one exchange of
// the frame 00 01 02 ... FF into a buffer full of 0xEE and prints what came
// back in hex; the parent chooses the board library's mode for it.
static const char childVariable[] = "TST_SOUND_SPI_ONE_EXCHANGE";

static QByteArray countingFrame()
{
    QByteArray frame(Sound::frameSize, Qt::Uninitialized);
    for (int i = 0; i < frame.size(); ++i)
        frame[i] = char(i);
    return frame;
}

// A frame whose 64 32-bit words all hold n.
static QByteArray numberedFrame(quint32 n)
{
    QByteArray frame(Sound::frameSize, Qt::Uninitialized);
    for (int i = 0; i < frame.size(); i += 4)
        qToLittleEndian(n, frame.data() + i);
    return frame;
}

// The number a numbered frame carries, or -1 when its words disagree.
static qint64 frameNumber(const QByteArray &frame)
{
    if (frame.size() != Sound::frameSize)
        return -1;
    const quint32 n = qFromLittleEndian<quint32>(frame.constData());
    for (int i = 4; i < frame.size(); i += 4) {
        if (qFromLittleEndian<quint32>(frame.constData() + i) != n)
            return -1;
    }
    return n;
}

static void publish(Sound &sound, quint32 n)
{
    sound.dataFromShield = numberedFrame(n);
    sound.publishFromShield();
}

static QStringList traceLines()
{
    QFile file(tracePath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

class tst_SoundSpi : public QObject
{
    Q_OBJECT

private slots:
    void idleFrame();
    void newSoundHasEmptyQueue();
    void packWords_data();
    void packWords();
    void unpackWords_data();
    void unpackWords();
    void everyWordSurvivesPackAndUnpack();
    void loopbackExchange_data();
    void loopbackExchange();
    void libraryGetsWordsInProcessorOrder();
    void receivedFrameComesFromLibrary_data();
    void receivedFrameComesFromLibrary();
    void frameStaysFullSize();
    void takeInPublishedOrder();
    void takeWithNothingNew();
    void fallingBehindDropsOldest();
    void concurrentPublishAndTake();
};

void tst_SoundSpi::idleFrame()
{
    Sound sound;
    QCOMPARE(sound.dataToShieldNull.size(), 256);
    QCOMPARE(sound.dataToShieldNull, QByteArray::fromHex(QByteArray("ff7f").repeated(128)));

    uint16_t words[128];
    SPI::byteArray_to_uint16(reinterpret_cast<const uint8_t *>(sound.dataToShieldNull.constData()),
                             words, 128);
    for (int k = 0; k < 128; ++k)
        QVERIFY2(words[k] == 0xFF7F, qPrintable(QStringLiteral("word %1").arg(k)));
}

void tst_SoundSpi::newSoundHasEmptyQueue()
{
    Sound sound;
    QVERIFY(!sound.dataToShieldBuffer.detect_data());
    QCOMPARE(sound.dataFromShield.size(), 256);
    QCOMPARE(sound.framesFromShieldLost(), quint64(0));
}

void tst_SoundSpi::packWords_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QVector<quint16>>("words");

    QTest::newRow("high byte first") << QByteArray::fromHex("1234") << QVector<quint16>{0x1234};
    QTest::newRow("bytes above 0x7f stay unsigned")
        << QByteArray::fromHex("ff80807f") << QVector<quint16>{0xFF80, 0x807F};
    QTest::newRow("zero and all ones") << QByteArray::fromHex("0000ffff") << QVector<quint16>{0x0000, 0xFFFF};
    QTest::newRow("low byte alone") << QByteArray::fromHex("00cd") << QVector<quint16>{0x00CD};
}

void tst_SoundSpi::packWords()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QVector<quint16>, words);

    // One word more than asked for, to see that nothing past numb is written.
    QVector<uint16_t> out(words.size() + 1, 0x5A5A);
    SPI::byteArray_to_uint16(reinterpret_cast<const uint8_t *>(bytes.constData()), out.data(),
                             uint16_t(words.size()));
    QCOMPARE(out.last(), uint16_t(0x5A5A));
    out.removeLast();
    QCOMPARE(out, words);
}

void tst_SoundSpi::unpackWords_data()
{
    QTest::addColumn<int>("position");

    QTest::newRow("first word") << 0;
    QTest::newRow("second word") << 1;
    QTest::newRow("last word of a frame") << 127;
}

void tst_SoundSpi::unpackWords()
{
    QFETCH(int, position);

    QVector<uint16_t> words(128, 0);
    words[position] = 0xABCD;
    QByteArray bytes(258, char(0x5A));
    SPI::uint16_to_byteArray(words.constData(), reinterpret_cast<uint8_t *>(bytes.data()), 128);

    QCOMPARE(uint8_t(bytes.at(2 * position)), uint8_t(0xAB));
    QCOMPARE(uint8_t(bytes.at(2 * position + 1)), uint8_t(0xCD));
    QCOMPARE(bytes.count(char(0)), 254);
    QCOMPARE(bytes.mid(256), QByteArray(2, char(0x5A)));
}

void tst_SoundSpi::everyWordSurvivesPackAndUnpack()
{
    QVector<uint16_t> words(65536);
    for (int i = 0; i < words.size(); ++i)
        words[i] = uint16_t(i);
    QByteArray bytes(2 * words.size(), Qt::Uninitialized);
    // numb is 16 bits wide, so the table goes through in frame-sized steps.
    for (int i = 0; i < words.size(); i += 128)
        SPI::uint16_to_byteArray(words.constData() + i, reinterpret_cast<uint8_t *>(bytes.data()) + 2 * i,
                                 128);
    QVector<uint16_t> back(words.size(), 0);
    for (int i = 0; i < words.size(); i += 128)
        SPI::byteArray_to_uint16(reinterpret_cast<const uint8_t *>(bytes.constData()) + 2 * i,
                                 back.data() + i, 128);
    QCOMPARE(back, words);
    QCOMPARE(bytes.mid(2 * 0x1234, 2), QByteArray::fromHex("1234"));
}

void tst_SoundSpi::loopbackExchange_data()
{
    QTest::addColumn<QByteArray>("frame");

    QTest::newRow("every byte value") << countingFrame();
    QTest::newRow("idle frame") << QByteArray::fromHex(QByteArray("ff7f").repeated(128));
    QTest::newRow("numbered frame") << numberedFrame(0x80FF0102);
}

void tst_SoundSpi::loopbackExchange()
{
    QFETCH(QByteArray, frame);

    Sound sound;
    SPI spi;
    sound.dataFromShield.fill(char(0xEE));
    spi.data_transfer(&frame, &sound.dataFromShield, 256);
    QCOMPARE(sound.dataFromShield.toHex(), frame.toHex());
}

void tst_SoundSpi::libraryGetsWordsInProcessorOrder()
{
    if (tracePath.isEmpty())
        QSKIP("no trace file");
    const int before = traceLines().size();

    Sound sound;
    SPI spi;
    const QByteArray frame = QByteArray::fromHex("12345678") + QByteArray(252, char(0x11));
    spi.data_transfer(&frame, &sound.dataFromShield, 256);

    const QStringList lines = traceLines().mid(before);
    QCOMPARE(lines.size(), 1);
    const QStringList fields = lines.first().split(QLatin1Char(' '));
    QCOMPARE(fields.size(), 4);
    QCOMPARE(fields.at(0), QStringLiteral("xfer"));
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    QCOMPARE(fields.at(2), QStringLiteral("34127856"));
#else
    QCOMPARE(fields.at(2), QStringLiteral("12345678"));
#endif
    QCOMPARE(fields.at(3), QStringLiteral("256"));
    QVERIFY(!traceLines().contains(QStringLiteral("error cs")));
}

void tst_SoundSpi::receivedFrameComesFromLibrary_data()
{
    QTest::addColumn<QString>("mode");

    QTest::newRow("library answers zeros") << QStringLiteral("zero");
    QTest::newRow("failed transfer gives silence, not stack bytes") << QStringLiteral("fail");
}

// In loopback the result cannot tell the frame sent from the frame received,
// so a child process runs one exchange with the library in the row's mode.
void tst_SoundSpi::receivedFrameComesFromLibrary()
{
    QFETCH(QString, mode);

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(childVariable), QStringLiteral("1"));
    env.insert(QStringLiteral("LORENTAK_SPI"), mode);
    env.remove(QStringLiteral("LORENTAK_SPI_TRACE"));
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY2(child.waitForFinished(30000), "child did not finish");
    QCOMPARE(child.exitCode(), 0);
    QCOMPARE(child.readAllStandardOutput().trimmed(), QByteArray(512, '0'));
}

void tst_SoundSpi::frameStaysFullSize()
{
    Sound sound;
    SPI spi;
    const QByteArray frame = countingFrame();
    for (int i = 0; i < 10; ++i) {
        spi.data_transfer(i % 2 ? &frame : &sound.dataToShieldNull, &sound.dataFromShield, 256);
        QCOMPARE(sound.dataFromShield.size(), 256);
    }
    QCOMPARE(sound.dataFromShield, frame);
}

void tst_SoundSpi::takeInPublishedOrder()
{
    Sound sound;
    for (quint32 n = 1; n <= 5; ++n)
        publish(sound, n);
    // Later exchanges overwrite dataFromShield; what was published must not change.
    sound.dataFromShield.fill(char(0xEE));

    QByteArray frame;
    for (quint32 n = 1; n <= 5; ++n) {
        QVERIFY(sound.takeFromShield(frame));
        QCOMPARE(frameNumber(frame), qint64(n));
    }
    QVERIFY(!sound.takeFromShield(frame));
    QCOMPARE(sound.framesFromShieldLost(), quint64(0));
}

void tst_SoundSpi::takeWithNothingNew()
{
    Sound sound;
    QByteArray frame("untouched");
    QVERIFY(!sound.takeFromShield(frame));
    QCOMPARE(frame, QByteArray("untouched"));

    publish(sound, 7);
    QVERIFY(sound.takeFromShield(frame));
    QCOMPARE(frameNumber(frame), qint64(7));
    QVERIFY(!sound.takeFromShield(frame));
    QCOMPARE(frameNumber(frame), qint64(7));
}

void tst_SoundSpi::fallingBehindDropsOldest()
{
    Sound sound;
    const quint32 published = 100;
    for (quint32 n = 1; n <= published; ++n)
        publish(sound, n);

    QList<qint64> taken;
    QByteArray frame;
    while (sound.takeFromShield(frame))
        taken.append(frameNumber(frame));

    // The newest ones survive, whole, in order, with no gap among them.
    QVERIFY(!taken.isEmpty());
    QVERIFY(taken.size() < int(published));
    QCOMPARE(taken.last(), qint64(published));
    for (int i = 1; i < taken.size(); ++i)
        QCOMPARE(taken.at(i), taken.at(i - 1) + 1);
    QCOMPARE(sound.framesFromShieldLost(), quint64(published) - quint64(taken.size()));

    // Exactly as many as the ring holds fit without loss.
    const int ring = taken.size();
    for (int n = 1; n <= ring; ++n)
        publish(sound, quint32(1000 + n));
    for (int n = 1; n <= ring; ++n) {
        QVERIFY(sound.takeFromShield(frame));
        QCOMPARE(frameNumber(frame), qint64(1000 + n));
    }
    QVERIFY(!sound.takeFromShield(frame));
    QCOMPARE(sound.framesFromShieldLost(), quint64(published) - quint64(ring));
}

void tst_SoundSpi::concurrentPublishAndTake()
{
    Sound sound;
    const quint32 published = 100000;
    std::atomic<bool> done{false};
    std::unique_ptr<QThread> publisher(QThread::create([&] {
        for (quint32 n = 1; n <= published; ++n)
            publish(sound, n);
        done.store(true);
    }));
    publisher->start();

    qint64 last = 0;
    quint64 taken = 0;
    QString fault;
    QByteArray frame;
    for (bool finished = false; !finished && fault.isEmpty();) {
        finished = done.load();
        while (fault.isEmpty() && sound.takeFromShield(frame)) {
            const qint64 n = frameNumber(frame);
            if (n <= last)  // a mixed frame gives -1
                fault = QStringLiteral("frame %1 after %2: %3...")
                            .arg(n).arg(last).arg(QString::fromLatin1(frame.left(16).toHex()));
            last = n;
            ++taken;
        }
    }
    QVERIFY(publisher->wait(30000));
    QVERIFY2(fault.isEmpty(), qPrintable(fault));

    QCOMPARE(last, qint64(published));
    QCOMPARE(taken + sound.framesFromShieldLost(), quint64(published));
}

// Leaves bytes other than zero on the stack below the caller, where the
// exchange's buffers will be.
static void __attribute__((noinline)) dirtyStack()
{
    volatile uint8_t bytes[16384];
    for (size_t i = 0; i < sizeof bytes; ++i)
        bytes[i] = 0xA5;
}

static int runOneExchange()
{
    dirtyStack();
    Sound sound;
    SPI spi;
    const QByteArray frame = countingFrame();
    sound.dataFromShield.fill(char(0xEE));
    spi.data_transfer(&frame, &sound.dataFromShield, 256);
    printf("%s\n", sound.dataFromShield.toHex().constData());
    return 0;
}

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsSet(childVariable))
        return runOneExchange();

    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    if (dir.isValid()) {
        tracePath = dir.filePath(QStringLiteral("spi.trace"));
        qputenv("LORENTAK_SPI_TRACE", QFile::encodeName(tracePath));
    }
    qputenv("LORENTAK_SPI", "loopback");

    tst_SoundSpi test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_sound_spi.moc"
