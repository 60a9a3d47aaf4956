#include "UsartTimerThread.h"

#include "log/logsenderinterface.h"
#include "log/logservice.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMutex>
#include <QRegularExpression>
#include <QThread>
#include <QTimer>
#include <QtTest>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

// Keeps the text of every log line sent under one source.
class RecordingSender : public LogSenderInterface
{
public:
    void send(QByteArray massage) const override
    {
        QMutexLocker locker(&mutex);
        lines.append(massage);
    }

    struct Entry {
        int msOfDay;  // the line's time stamp, -1 when it has none
        QString text;
    };

    QList<Entry> entries(const QString &source) const
    {
        static const QRegularExpression stamp("^\\[Debug\\]\\[(\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d)\\]");
        const QByteArray tag = "] [" + source.toUtf8() + "]: ";
        QMutexLocker locker(&mutex);
        QList<Entry> result;
        for (const QByteArray &line : lines) {
            const int at = line.indexOf(tag);
            if (at < 0)
                continue;
            const QRegularExpressionMatch match = stamp.match(QString::fromLatin1(line));
            const QTime time = QTime::fromString(match.captured(1), "hh:mm:ss.zzz");
            result.append({time.isValid() ? time.msecsSinceStartOfDay() : -1,
                           QString::fromUtf8(line.mid(at + tag.size())).remove("\r\n")});
        }
        return result;
    }

    QStringList texts(const QString &source) const
    {
        QStringList result;
        for (const Entry &entry : entries(source))
            result.append(entry.text);
        return result;
    }

    void clear()
    {
        QMutexLocker locker(&mutex);
        lines.clear();
    }

private:
    mutable QMutex mutex;
    mutable QList<QByteArray> lines;
};

// Runs the event loop without pauses until cond() holds or timeoutMs pass.
// QTRY_* sleeps 10 ms between rounds of events, which would hide how the
// arriving bytes and the 10 ms line-idle timer interleave.
template <class Condition>
static bool waitFor(Condition cond, int timeoutMs = 5000)
{
    QDeadlineTimer deadline(timeoutMs);
    QTimer wake;
    wake.start(2);
    while (!cond()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// Measures the longest stretch in which the event loop ran no timer of 1 ms.
class LoopWatch
{
public:
    LoopWatch()
    {
        tick.setTimerType(Qt::PreciseTimer);
        QObject::connect(&tick, &QTimer::timeout, [this] {
            longest = qMax(longest, clock.restart());
        });
        clock.start();
        tick.start(1);
    }
    qint64 longestStallMs() const { return qMax(longest, clock.elapsed()); }

private:
    QTimer tick;
    QElapsedTimer clock;
    qint64 longest = 0;
};

class tst_UsartTimerThread : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();
    void portSettings();
    void onePacketPerTick();
    void emptyPacketWritesNothing();
    void burstsBecomePackets_data();
    void burstsBecomePackets();
    void endlessBurstIsCut();

private:
    QByteArray readMaster();
    // Moves what readBuffer holds into `packets`.
    void collect(QList<QByteArray> &packets);

    RecordingSender sender;
    int masterFd = -1;
    int slaveFd = -1;
    QByteArray fromWorker;
    std::unique_ptr<UsartTimerThread> worker;
};

void tst_UsartTimerThread::initTestCase()
{
    char name[128] = {};
    QVERIFY2(openpty(&masterFd, &slaveFd, name, nullptr, nullptr) == 0, strerror(errno));
    fcntl(masterFd, F_SETFL, fcntl(masterFd, F_GETFL) | O_NONBLOCK);
    // The board library reads the variable once, on its first call.
    qputenv("LORENTAK_USART_PORT", name);
    logService = new LogService(1, &sender);
}

void tst_UsartTimerThread::init()
{
    QTest::ignoreMessage(QtDebugMsg, "DEBUG: USART: Успешно открыт порт");
    worker = std::make_unique<UsartTimerThread>(1);
    readMaster();
    fromWorker.clear();
    sender.clear();
}

void tst_UsartTimerThread::cleanup()
{
    worker.reset();
}

void tst_UsartTimerThread::cleanupTestCase()
{
    close(masterFd);
    close(slaveFd);
}

QByteArray tst_UsartTimerThread::readMaster()
{
    char chunk[4096];
    ssize_t n;
    while ((n = read(masterFd, chunk, sizeof chunk)) > 0)
        fromWorker.append(chunk, int(n));
    return fromWorker;
}

void tst_UsartTimerThread::collect(QList<QByteArray> &packets)
{
    while (worker->readBuffer.detect_data())
        packets.append(worker->readBuffer.get_data());
}

void tst_UsartTimerThread::portSettings()
{
    termios tio;
    QCOMPARE(tcgetattr(slaveFd, &tio), 0);
    QCOMPARE(cfgetispeed(&tio), speed_t(B115200));
    QCOMPARE(cfgetospeed(&tio), speed_t(B115200));
    QCOMPARE(tio.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
    QCOMPARE(tio.c_iflag & (IXON | IXOFF), tcflag_t(0));
}

void tst_UsartTimerThread::onePacketPerTick()
{
    const QByteArray first = QByteArray::fromHex("FA 03 02 A2 01 00 00 00 00 00 F5");
    const QByteArray second = QByteArray::fromHex("FA 03 03 A2 02 08 00 01 02 03 F5");
    worker->writeBuffer.set_data(first);
    worker->writeBuffer.set_data(second);

    QVERIFY(QMetaObject::invokeMethod(worker.get(), "slotTimeOut", Qt::DirectConnection));
    QCOMPARE(worker->writeBuffer.size(), 1);

    QTRY_COMPARE_WITH_TIMEOUT(readMaster().toHex(' '), (first + second).toHex(' '), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(sender.texts("Uart WRITE"),
                              QStringList({"FA 03 02 A2 01 00 00 00 00 00 F5",
                                           "FA 03 03 A2 02 08 00 01 02 03 F5"}),
                              5000);
}

void tst_UsartTimerThread::emptyPacketWritesNothing()
{
    const QByteArray after = QByteArray::fromHex("0A BC");
    worker->writeBuffer.set_data(QByteArray());
    worker->writeBuffer.set_data(after);
    // The packet after the empty one shows when the empty one has been handled.
    QTRY_COMPARE_WITH_TIMEOUT(sender.texts("Uart WRITE"), QStringList({"", "0A BC"}), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(readMaster().toHex(' '), after.toHex(' '), 5000);
}

void tst_UsartTimerThread::burstsBecomePackets_data()
{
    QTest::addColumn<int>("gapMs");
    QTest::addColumn<bool>("split");

    QTest::newRow("pauses well under 10 ms: one packet") << 2 << false;
    QTest::newRow("pauses well over 10 ms: one packet each") << 60 << true;
    QTest::newRow("pauses of 25 ms: one packet each") << 25 << true;
}

// Bytes written on the master in five pieces. The pauses only shape the
// input: whether a piece reached the worker within 10 ms of the one before is
// read from the time stamps of the "Uart READ" lines, which the worker writes
// as it reads; and whether the line-idle timer could run in time from how
// long the event loop ever stalled. A busy machine can stretch short pauses,
// merge pieces or hold up the loop; such a try is repeated rather than judged.
void tst_UsartTimerThread::burstsBecomePackets()
{
    QFETCH(int, gapMs);
    QFETCH(bool, split);

    const QList<QByteArray> chunks{QByteArray::fromHex("FA 01"), QByteArray::fromHex("03 00"),
                                   QByteArray::fromHex("02 00"), QByteArray::fromHex("00 01"),
                                   QByteArray::fromHex("02 03 F5")};
    const QByteArray all = chunks.join();

    for (int attempt = 0; attempt < 10; ++attempt) {
        sender.clear();
        LoopWatch watch;
        const int fd = masterFd;
        std::unique_ptr<QThread> writer(QThread::create([&chunks, fd, gapMs] {
            for (int i = 0; i < chunks.size(); ++i) {
                if (i > 0)
                    QThread::msleep(gapMs);
                ssize_t ignored = write(fd, chunks[i].constData(), size_t(chunks[i].size()));
                Q_UNUSED(ignored);
            }
        }));
        writer->start();

        QList<QByteArray> received;
        QVERIFY(waitFor([&] {
            collect(received);
            return received.join().size() >= all.size();
        }));
        QVERIFY(writer->wait(5000));
        QCOMPARE(received.join().toHex(' '), all.toHex(' '));
        // Each log line holds the bytes of one notification, never a whole packet again.
        const QString allText = QString::fromLatin1(all.toHex(' ').toUpper());
        QVERIFY(waitFor([&] { return sender.texts("Uart READ").join(' ').size() >= allText.size(); }));
        const QList<RecordingSender::Entry> reads = sender.entries("Uart READ");
        QCOMPARE(sender.texts("Uart READ").join(' '), allText);

        // A piece read at most 6 ms after the one before beats the 10 ms timer
        // whatever the load. A piece read later splits only if the loop ran
        // the due timer first: it ran timers at least every longestStallMs().
        const qint64 splitGap = qMax<qint64>(17, watch.longestStallMs() + 13);
        bool shaped = !split || reads.size() == chunks.size();
        for (int i = 1; i < reads.size(); ++i) {
            const int gap = reads[i].msOfDay - reads[i - 1].msOfDay;
            shaped = shaped && (split ? gap >= splitGap : gap >= 0 && gap <= 6);
        }
        if (!shaped)
            continue;

        QList<QByteArray> expected;
        if (split)
            expected = chunks;
        else
            expected.append(all);
        QCOMPARE(received, expected);
        return;
    }
    QSKIP("the machine is too busy to keep the pauses between the pieces");
}

// A line that never falls silent: 20000 bytes as fast as the pty takes them.
// Whatever pauses a busy machine adds, no packet may exceed 4096 bytes.
void tst_UsartTimerThread::endlessBurstIsCut()
{
    QByteArray all(20000, Qt::Uninitialized);
    for (int i = 0; i < all.size(); ++i)
        all[i] = char(i * 7);
    const int fd = masterFd;
    std::unique_ptr<QThread> writer(QThread::create([&all, fd] {
        for (int done = 0; done < all.size(); QThread::usleep(200))  // a full pty waits for the worker
            done += int(qMax<ssize_t>(0, write(fd, all.constData() + done, size_t(all.size() - done))));
    }));
    writer->start();

    QList<QByteArray> received;
    QVERIFY(waitFor([&] {
        collect(received);
        return received.join().size() >= all.size();
    }, 20000));
    QVERIFY(writer->wait(5000));
    QCOMPARE(received.join(), all);
    for (const QByteArray &packet : received)
        QVERIFY2(packet.size() <= 4096, qPrintable(QStringLiteral("a packet of %1 bytes").arg(packet.size())));
}

QTEST_GUILESS_MAIN(tst_UsartTimerThread)
#include "tst_usarttimerthread.moc"
