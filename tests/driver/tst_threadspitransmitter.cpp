#include "sound.h"
#include "spi.h"
#include "threadspitransmitter.h"

#include <QTemporaryDir>
#include <QtTest>
#include <atomic>
#include <memory>

// The board library reads its environment once, on its first call: main()
// sets the trace file and loopback mode before any test runs. In loopback
// every received frame is the frame that was sent in the same exchange.
static QString tracePath;

static QByteArray idleFrame()
{
    return QByteArray::fromHex(QByteArray("ff7f").repeated(128));
}

static QByteArray markedFrame(char mark)
{
    return QByteArray(Sound::frameSize, mark);
}

static QByteArray numberedFrame(int n)
{
    return QByteArray::number(n).leftJustified(Sound::frameSize, '.');
}

// Lives in the test thread and takes the received frames there, as the UDP
// sender does, one data_update() after another.
class Receiver : public QObject
{
    Q_OBJECT
public:
    explicit Receiver(Sound *sound)
        : sound(sound)
    {
    }

    Sound *sound;
    QList<QByteArray> frames;

signals:
    void took();

public slots:
    void take()
    {
        QByteArray frame;
        while (sound->takeFromShield(frame))
            frames.append(frame);
        emit took();
    }
};

// Monotonic time stamps, in ns, of the transfers traced after line `from`.
static QList<qint64> transferTimes(int from)
{
    QFile file(tracePath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> lines = file.readAll().split('\n').mid(from);
    QList<qint64> times;
    for (const QByteArray &line : lines) {
        if (line.startsWith("xfer "))
            times.append(line.split(' ').value(1).toLongLong());
    }
    return times;
}

static int traceLineCount()
{
    QFile file(tracePath);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return file.readAll().count('\n');
}

static double meanPeriodMs(const QList<qint64> &times)
{
    if (times.size() < 2)
        return 0;
    return double(times.last() - times.first()) / (times.size() - 1) / 1e6;
}

class tst_ThreadSpiTransmitter : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void idleFrameWhenNothingIsQueued();
    void queuedFramesLeaveInOrderOnce();
    void changePeriodWhileRunning();
    void standingQueueIsTrimmed_data();
    void standingQueueIsTrimmed();

private:
    void startTransmitter();

    std::unique_ptr<Sound> sound;
    SPI spi;
    std::unique_ptr<ThreadSpiTransmitter> transmitter;
    std::unique_ptr<Receiver> receiver;
    std::unique_ptr<QSignalSpy> ticks;
};

void tst_ThreadSpiTransmitter::init()
{
    sound.reset(new Sound);
    transmitter.reset(new ThreadSpiTransmitter(16, &spi, sound.get()));
    receiver.reset(new Receiver(sound.get()));
    QVERIFY(connect(transmitter.get(), SIGNAL(data_update()), receiver.get(), SLOT(take())));
    ticks.reset(new QSignalSpy(receiver.get(), SIGNAL(took())));
    QVERIFY(ticks->isValid());
}

void tst_ThreadSpiTransmitter::cleanup()
{
    if (transmitter) {
        transmitter->quit();
        QVERIFY(transmitter->wait(10000));
    }
    ticks.reset();
    receiver.reset();
    transmitter.reset();
    sound.reset();
}

void tst_ThreadSpiTransmitter::startTransmitter()
{
    transmitter->start(QThread::InheritPriority);
}

void tst_ThreadSpiTransmitter::idleFrameWhenNothingIsQueued()
{
    startTransmitter();
    QTRY_VERIFY_WITH_TIMEOUT(receiver->frames.size() >= 5, 10000);

    QCOMPARE(ticks->count(), receiver->frames.size());
    for (const QByteArray &frame : qAsConst(receiver->frames))
        QCOMPARE(frame.toHex(), idleFrame().toHex());
    QCOMPARE(sound->dataFromShield.size(), 256);
}

// Three frames wait before the first tick; three more are queued from inside
// the fifth tick, after it has looked at the queue, and so go out from the
// sixth on.
void tst_ThreadSpiTransmitter::queuedFramesLeaveInOrderOnce()
{
    const QByteArray a = markedFrame('A'), b = markedFrame('B'), c = markedFrame('C');
    const QByteArray d = markedFrame('D'), e = markedFrame('E'), f = markedFrame('F');
    sound->dataToShieldBuffer.set_data(a);
    sound->dataToShieldBuffer.set_data(b);
    sound->dataToShieldBuffer.set_data(c);

    std::atomic<int> tick{0};
    Sound *shared = sound.get();
    connect(
        transmitter.get(), &ThreadSpiTransmitter::data_update, transmitter.get(),
        [&tick, shared, d, e, f] {
            if (++tick == 5) {
                shared->dataToShieldBuffer.set_data(d);
                shared->dataToShieldBuffer.set_data(e);
                shared->dataToShieldBuffer.set_data(f);
            }
        },
        Qt::DirectConnection);

    startTransmitter();
    QTRY_VERIFY_WITH_TIMEOUT(receiver->frames.size() >= 12, 10000);
    transmitter->quit();
    QVERIFY(transmitter->wait(10000));
    QTRY_COMPARE(ticks->count(), tick.load());

    QCOMPARE(sound->framesFromShieldLost(), quint64(0));
    const QByteArray idle = idleFrame();
    const QList<QByteArray> expected{a, b, c, idle, idle, d, e, f};
    QList<QByteArray> got = receiver->frames;
    QCOMPARE(got.size(), tick.load());
    for (int i = expected.size(); i < got.size(); ++i)
        QCOMPARE(got.at(i).toHex(), idle.toHex());
    got = got.mid(0, expected.size());
    QCOMPARE(got, expected);
    QVERIFY(!sound->dataToShieldBuffer.detect_data());
}

void tst_ThreadSpiTransmitter::changePeriodWhileRunning()
{
    if (tracePath.isEmpty())
        QSKIP("no trace file");

    startTransmitter();
    QTRY_VERIFY_WITH_TIMEOUT(ticks->count() >= 2, 10000);
    const int firstLine = traceLineCount();
    const int firstTick = ticks->count();
    QTRY_VERIFY_WITH_TIMEOUT(ticks->count() >= firstTick + 15, 10000);

    transmitter->slotChangeSpiPeriod(20);
    const int changedLine = traceLineCount();
    const int changedTick = ticks->count();
    QTRY_VERIFY_WITH_TIMEOUT(ticks->count() >= changedTick + 15, 10000);
    transmitter->quit();
    QVERIFY(transmitter->wait(10000));

    const QList<qint64> all = transferTimes(firstLine);
    const int before = changedLine - firstLine;
    const QList<qint64> at16 = all.mid(0, before);
    const QList<qint64> at20 = all.mid(before);
    QVERIFY(at16.size() >= 10);
    QVERIFY(at20.size() >= 10);
    // Only lower bounds: a loaded machine makes ticks late, never early.
    QVERIFY2(meanPeriodMs(at16) >= 15.0, qPrintable(QString::number(meanPeriodMs(at16))));
    QVERIFY2(meanPeriodMs(at20) >= 18.5, qPrintable(QString::number(meanPeriodMs(at20))));
}

void tst_ThreadSpiTransmitter::standingQueueIsTrimmed_data()
{
    QTest::addColumn<int>("prefill");
    QTest::addColumn<QList<int>>("arrivals");  // frames queued before each tick, repeated
    QTest::addColumn<int>("burstTick");        // ten frames more before this tick
    QTest::addColumn<bool>("lateOnArrival");   // the receiver has just dropped late frames
    QTest::addColumn<int>("ticks");
    QTest::addColumn<int>("trims");
    QTest::addColumn<int>("lowLevel");  // over the last quarter of the ticks
    QTest::addColumn<int>("highLevel");

    QList<int> surplus = QVector<int>(100, 1).toList();  // 1 % fast
    surplus[50] = 2;
    QList<int> jittery = QVector<int>(40, 1).toList();  // a clump of six, an underrun, every 40 ticks
    jittery[5] = 6;
    for (int i = 0; i < 5; ++i)
        jittery[i] = 0;

    QTest::newRow("ten-frame burst on a queue at 3") << 3 << QList<int>{1} << 5 << false << 200 << 10 << 3 << 3;
    QTest::newRow("standing level of 12") << 12 << QList<int>{1} << -1 << false << 200 << 9 << 3 << 3;
    QTest::newRow("1 % surplus") << 0 << surplus << -1 << false << 3000 << 27 << 2 << 4;
    QTest::newRow("jittery sender with underruns") << 0 << jittery << -1 << false << 1000 << 0 << 0 << 5;
    QTest::newRow("late frames dropped on arrival") << 5 << QList<int>{1} << -1 << true << 12 << 2 << 3 << 3;
}

// Ticks driven one by one on numbered frames, in loopback: the frames that
// come back are those sent, so order, wholeness and drops show in them.
void tst_ThreadSpiTransmitter::standingQueueIsTrimmed()
{
    QFETCH(int, prefill);
    QFETCH(QList<int>, arrivals);
    QFETCH(int, burstTick);
    QFETCH(bool, lateOnArrival);
    QFETCH(int, ticks);
    QFETCH(int, trims);
    QFETCH(int, lowLevel);
    QFETCH(int, highLevel);

    DataTransmission &queue = sound->dataToShieldBuffer;
    int queued = 0;
    for (; queued < prefill; ++queued)
        queue.set_data(numberedFrame(queued));
    sound->framesDroppedOnArrival += lateOnArrival;
    QString why = QStringLiteral("trimmed at ticks");
    QList<int> trimTicks, levels;
    for (int tick = 0; tick < ticks; ++tick) {
        for (int i = arrivals.at(tick % arrivals.size()) + (tick == burstTick ? 10 : 0); i > 0; --i)
            queue.set_data(numberedFrame(queued++));
        const quint64 trimmed = sound->framesTrimmed;
        QVERIFY(QMetaObject::invokeMethod(transmitter.get(), "slotTimeOut", Qt::DirectConnection));
        if (sound->framesTrimmed != trimmed) {
            QVERIFY2(trimTicks.isEmpty() || tick - trimTicks.last() >= DelayController::spacing, qPrintable(why));
            trimTicks.append(tick);
            why += QStringLiteral(" %1").arg(tick);
        }
        levels.append(queue.size());
    }

    const int firstBurst = prefill + burstTick + 1;  // after one frame a tick
    int last = -1, returned = 0, burstOut = 0;
    for (const QByteArray &frame : qAsConst(receiver->frames)) {
        if (frame == idleFrame())
            continue;
        const int n = frame.left(frame.indexOf('.')).toInt();  // whole, in order, once
        QVERIFY2(n > last && frame == numberedFrame(n), frame.left(16).constData());
        burstOut += n >= firstBurst && n < firstBurst + 10;
        last = n;
        ++returned;
    }
    QCOMPARE(returned + trimTicks.size() + queue.size(), queued);
    if (burstTick >= 0)
        QCOMPARE(burstOut, 10);
    QVERIFY2(trimTicks.size() == trims, qPrintable(why));
    const QList<int> settled = levels.mid(ticks * 3 / 4);
    QVERIFY2(*std::min_element(settled.begin(), settled.end()) >= lowLevel
                 && *std::max_element(settled.begin(), settled.end()) <= highLevel, qPrintable(why));
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    if (dir.isValid()) {
        tracePath = dir.filePath(QStringLiteral("spi.trace"));
        qputenv("LORENTAK_SPI_TRACE", QFile::encodeName(tracePath));
    }
    qputenv("LORENTAK_SPI", "loopback");

    tst_ThreadSpiTransmitter test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_threadspitransmitter.moc"
