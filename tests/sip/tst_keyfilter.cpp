// Keys from the phone counted once: each row is what arrives, one item per
// packet or request ("e KEY TIMESTAMP MS" for a telephone event, "i KEY CSEQ
// MS" for an INFO, "t KEY 0 MS" for a tone in the audio), and the keys that
// count.
#include <QtTest>

#include "keyfilter.h"

class tst_KeyFilter : public QObject
{
    Q_OBJECT

private slots:
    void keys_data();
    void keys();
};

void tst_KeyFilter::keys_data()
{
    QTest::addColumn<QString>("arrivals");
    QTest::addColumn<QString>("counted");

    QTest::newRow("start, repeats and three end packets of one event")
        << "e 1 100 0, e 1 100 20, e 1 100 40, e 1 100 60, e 1 100 60" << "1";
    QTest::newRow("late end packet of a key after the next key's start")
        << "e 1 100 0, e 2 900 100, e 1 100 120, e 2 900 140" << "12";
    QTest::newRow("the same key twice by events") << "e 5 100 0, e 5 100 50, e 5 1700 100" << "55";
    QTest::newRow("timestamps wrap around")
        << "e 1 4294967040 0, e 2 256 200, e 1 4294967040 220, e 3 1856 400" << "123";
    QTest::newRow("INFO sent again with its CSeq, then a new one")
        << "i # 2 0, i # 2 500, i # 1 600, i # 3 1000" << "##";
    QTest::newRow("the same key both ways within 200 ms") << "e # 100 0, i # 2 30, e # 100 60" << "#";
    QTest::newRow("INFO first, the event after it") << "i 7 2 0, e 7 100 150, e 7 100 190" << "7";
    QTest::newRow("the same key both ways more than 200 ms apart") << "e 5 100 0, i 5 2 250" << "55";
    QTest::newRow("another key by the other way") << "e 1 100 0, i 2 2 50" << "12";
    QTest::newRow("a phone that sends every key both ways: 1 1 2")
        << "e 1 100 0, i 1 2 10, e 1 900 200, i 1 3 210, e 2 1700 400, i 2 4 420" << "112";
    QTest::newRow("one press three ways, then two tones")
        << "e # 100 0, t # 0 40, i # 2 60, t # 0 300, t # 0 500" << "###";
}

void tst_KeyFilter::keys()
{
    QFETCH(QString, arrivals);
    QFETCH(QString, counted);

    KeyFilter filter;
    QString keys;
    for (const QString &item : arrivals.split(", ")) {
        const QStringList f = item.split(' ');
        QCOMPARE(f.size(), 4);
        const char key = f[1].at(0).toLatin1();
        const uint32_t number = f[2].toUInt();
        const uint64_t ms = f[3].toULongLong();
        if (f[0] == "t" ? filter.tone(key, ms) : f[0] == "e" ? filter.event(key, number, ms) : filter.info(key, number, ms))
            keys += QChar(key);
    }
    QCOMPARE(keys, counted);
}

QTEST_MAIN(tst_KeyFilter)
#include "tst_keyfilter.moc"
