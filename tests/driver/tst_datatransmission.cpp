#include "datatransmission.h"

#include <QThread>
#include <QtTest>
#include <atomic>
#include <memory>

class tst_DataTransmission : public QObject
{
    Q_OBJECT

private slots:
    void packetsLeaveInOrder_data();
    void packetsLeaveInOrder();
    void emptyPacketIsAnEntry();
    void packetsAreCopied();
    void dataForReadKeepsLastTaken();
    void clear_data();
    void clear();
    void getDataOnEmptyQueue();
    void setDataBounded_data();
    void setDataBounded();
    void producersAndConsumerThreads();
};

static QByteArray numbered(int n)
{
    return QByteArray::number(n);
}

void tst_DataTransmission::packetsLeaveInOrder_data()
{
    QTest::addColumn<QList<QByteArray>>("packets");

    QTest::newRow("three packets") << QList<QByteArray>{"first", "second", "third"};
    QTest::newRow("equal packets") << QList<QByteArray>{"x", "x", "x"};
    QTest::newRow("empty packets between others") << QList<QByteArray>{"", "a", "", "", "b", ""};
    QTest::newRow("binary and large")
        << QList<QByteArray>{QByteArray("\x00\xff\x00", 3), QByteArray(65536, 'z'), QByteArray(1, '\0')};
}

void tst_DataTransmission::packetsLeaveInOrder()
{
    QFETCH(QList<QByteArray>, packets);

    DataTransmission queue;
    for (const QByteArray &packet : packets)
        queue.set_data(packet);

    QList<QByteArray> taken;
    while (queue.detect_data())
        taken.append(queue.get_data());
    QCOMPARE(taken, packets);
}

void tst_DataTransmission::emptyPacketIsAnEntry()
{
    DataTransmission queue;
    uint8_t bytes[1] = {0x55};

    queue.set_data(bytes, 0);
    QVERIFY(queue.detect_data());
    const QByteArray packet = queue.get_data();
    QVERIFY(packet.isEmpty());
    QVERIFY(!queue.detect_data());
}

void tst_DataTransmission::packetsAreCopied()
{
    DataTransmission queue;

    uint8_t bytes[255];
    for (int i = 0; i < 255; ++i)
        bytes[i] = uint8_t(i);
    queue.set_data(bytes, 255);
    const QByteArray expected(reinterpret_cast<const char *>(bytes), 255);
    bytes[0] = 0xAA;  // the caller's buffer may be reused at once

    QByteArray array("abc");
    queue.set_data(array);
    array[0] = 'X';

    QCOMPARE(queue.get_data(), expected);
    QCOMPARE(queue.get_data(), QByteArray("abc"));
}

void tst_DataTransmission::dataForReadKeepsLastTaken()
{
    DataTransmission queue;
    QVERIFY(queue.dataForRead.isEmpty());

    queue.set_data(QByteArray("one"));
    queue.set_data(QByteArray("two"));
    queue.set_data(QByteArray("three"));

    QCOMPARE(queue.get_data(), QByteArray("one"));
    QCOMPARE(queue.dataForRead, QByteArray("one"));
    queue.set_data(QByteArray("four"));
    QCOMPARE(queue.dataForRead, QByteArray("one"));

    QCOMPARE(queue.get_data(), QByteArray("two"));
    QCOMPARE(queue.dataForRead, QByteArray("two"));
}

void tst_DataTransmission::clear_data()
{
    QTest::addColumn<int>("waiting");

    QTest::newRow("empty queue") << 0;
    QTest::newRow("one packet") << 1;
    QTest::newRow("many packets") << 1000;
}

void tst_DataTransmission::clear()
{
    QFETCH(int, waiting);

    DataTransmission queue;
    queue.set_data(QByteArray("taken"));
    queue.get_data();
    for (int i = 0; i < waiting; ++i)
        queue.set_data(numbered(i));

    queue.clear();
    QVERIFY(!queue.detect_data());
    QCOMPARE(queue.size(), 0);
    QCOMPARE(queue.dataForRead, QByteArray("taken"));

    // Still usable afterwards.
    queue.set_data(QByteArray("next"));
    QVERIFY(queue.detect_data());
    QCOMPARE(queue.get_data(), QByteArray("next"));
}

void tst_DataTransmission::getDataOnEmptyQueue()
{
    DataTransmission queue;
    QVERIFY(queue.get_data().isEmpty());
    QVERIFY(!queue.detect_data());

    queue.set_data(QByteArray("kept"));
    QCOMPARE(queue.get_data(), QByteArray("kept"));
    QVERIFY(queue.get_data().isEmpty());
    QCOMPARE(queue.dataForRead, QByteArray("kept"));
    QVERIFY(!queue.detect_data());

    queue.set_data(QByteArray("after"));
    QCOMPARE(queue.size(), 1);
    QCOMPARE(queue.get_data(), QByteArray("after"));
}

void tst_DataTransmission::setDataBounded_data()
{
    QTest::addColumn<int>("waiting");
    QTest::addColumn<int>("limit");
    QTest::addColumn<int>("dropped");

    QTest::newRow("empty queue") << 0 << 10 << 0;
    QTest::newRow("room for one more") << 9 << 10 << 0;
    QTest::newRow("full") << 10 << 10 << 1;
    QTest::newRow("over the limit") << 15 << 10 << 6;
    QTest::newRow("limit 1") << 3 << 1 << 3;
    QTest::newRow("limit 0 still queues the new one") << 2 << 0 << 2;
}

void tst_DataTransmission::setDataBounded()
{
    QFETCH(int, waiting);
    QFETCH(int, limit);
    QFETCH(int, dropped);

    DataTransmission queue;
    for (int i = 0; i < waiting; ++i)
        queue.set_data(numbered(i));

    QCOMPARE(queue.set_data_bounded(QByteArray("new"), limit), dropped);

    // The oldest are gone; the rest and the new one follow in order.
    QList<QByteArray> expected;
    for (int i = dropped; i < waiting; ++i)
        expected.append(numbered(i));
    expected.append("new");
    QCOMPARE(queue.size(), expected.size());

    QList<QByteArray> taken;
    while (queue.detect_data())
        taken.append(queue.get_data());
    QCOMPARE(taken, expected);
}

void tst_DataTransmission::producersAndConsumerThreads()
{
    // Two producers each send numbered packets while one consumer polls the
    // way the daemon's consumers do; per producer nothing may be lost,
    // duplicated or reordered.
    constexpr int perProducer = 200000;
    DataTransmission queue;

    // The producers start together so that their appends overlap.
    std::atomic<int> ready{0};
    auto producer = [&](char tag) {
        return [&queue, &ready, tag] {
            ++ready;
            while (ready < 2)
                QThread::yieldCurrentThread();
            for (int i = 0; i < perProducer; ++i)
                queue.set_data(tag + QByteArray::number(i));
        };
    };

    QList<QByteArray> failures;
    int nextA = 0;
    int nextB = 0;
    std::atomic<bool> stop{false};
    std::unique_ptr<QThread> consumer(QThread::create([&] {
        while (nextA + nextB < 2 * perProducer && failures.isEmpty() && !stop) {
            if (!queue.detect_data()) {
                QThread::yieldCurrentThread();
                continue;
            }
            const QByteArray packet = queue.get_data();
            int &next = packet.startsWith('a') ? nextA : nextB;
            if (packet.mid(1) != QByteArray::number(next))
                failures.append(packet + " where " + QByteArray::number(next) + " was due");
            ++next;
        }
    }));
    std::unique_ptr<QThread> producerA(QThread::create(producer('a')));
    std::unique_ptr<QThread> producerB(QThread::create(producer('b')));

    consumer->start();
    producerA->start();
    producerB->start();
    QVERIFY(producerA->wait(60000));
    QVERIFY(producerB->wait(60000));
    if (!consumer->wait(60000)) {
        stop = true;
        consumer->wait();
        QFAIL(qPrintable(QStringLiteral("consumer stuck at a%1 b%2").arg(nextA).arg(nextB)));
    }

    QVERIFY2(failures.isEmpty(), failures.value(0).constData());
    QCOMPARE(nextA, perProducer);
    QCOMPARE(nextB, perProducer);
    QVERIFY(!queue.detect_data());
}

QTEST_GUILESS_MAIN(tst_DataTransmission)
#include "tst_datatransmission.moc"
