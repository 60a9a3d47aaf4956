#include "rooms.h"

#include <QtTest>
#include <climits>

class tst_Rooms : public QObject
{
    Q_OBJECT

private slots:
    void freshMasksAreEmpty();
    void bitLayout_data();
    void bitLayout();
    void outOfRange_data();
    void outOfRange();
};

void tst_Rooms::freshMasksAreEmpty()
{
    Rooms rooms;
    for (int room = 0; room <= 1023; ++room) {
        QVERIFY2(!rooms.isImitPhone(room), qPrintable(QString::number(room)));
        QVERIFY2(!rooms.isBlockPhone(room), qPrintable(QString::number(room)));
    }
}

void tst_Rooms::bitLayout_data()
{
    QTest::addColumn<int>("room");
    QTest::addColumn<int>("word");
    QTest::addColumn<uint>("bit");

    QTest::newRow("0") << 0 << 0 << 0x1u;
    QTest::newRow("31") << 31 << 0 << 0x80000000u;
    QTest::newRow("33") << 33 << 1 << 0x2u;
    QTest::newRow("1023") << 1023 << 31 << 0x80000000u;
}

// The console reader writes the words directly, so the layout is a contract.
void tst_Rooms::bitLayout()
{
    QFETCH(int, room);
    QFETCH(int, word);
    QFETCH(uint, bit);

    for (bool blacklist : {false, true}) {
        Rooms rooms;
        (blacklist ? rooms.readBlackPhone : rooms.readImitPhone)[word] = bit;
        for (int other = 0; other <= 1023; ++other) {
            const QString which = QStringLiteral("%1 with %2 in the %3")
                    .arg(other).arg(room).arg(blacklist ? "blacklist" : "imitation mask");
            QVERIFY2(rooms.isBlockPhone(other) == (blacklist && other == room), qPrintable(which));
            QVERIFY2(rooms.isImitPhone(other) == (!blacklist && other == room), qPrintable(which));
        }
    }
}

void tst_Rooms::outOfRange_data()
{
    QTest::addColumn<int>("room");

    QTest::newRow("1024") << 1024;
    QTest::newRow("2047") << 2047;
    QTest::newRow("9999") << 9999;
    QTest::newRow("65535") << 65535;
    QTest::newRow("-1") << -1;
    QTest::newRow("-32") << -32;
    QTest::newRow("INT_MIN") << INT_MIN;
}

// Numbers the masks cannot hold are in neither. The masks sit between guard
// words with every bit set, so a lookup that strays outside them answers true.
void tst_Rooms::outOfRange()
{
    QFETCH(int, room);

    struct Guarded {
        uint32_t before[64];
        Rooms rooms;
        uint32_t after[2100];
    };
    auto guarded = std::make_unique<Guarded>();
    memset(guarded->before, 0xFF, sizeof guarded->before);
    memset(guarded->after, 0xFF, sizeof guarded->after);

    QVERIFY(!guarded->rooms.isImitPhone(room));
    QVERIFY(!guarded->rooms.isBlockPhone(room));

    for (int i = 0; i < Rooms::words; ++i)
        guarded->rooms.readBlackPhone[i] = 0xFFFFFFFFu;
    QVERIFY(!guarded->rooms.isImitPhone(room));
    QVERIFY(!guarded->rooms.isBlockPhone(room));
}

QTEST_GUILESS_MAIN(tst_Rooms)
#include "tst_rooms.moc"
