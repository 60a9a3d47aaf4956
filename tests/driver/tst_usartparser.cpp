#include "usartparser.h"

#include "usartdata.h"

#include <QtTest>

class tst_UsartParser : public QObject
{
    Q_OBJECT

private slots:
    void parserNew_data();
    void parserNew();
};

void tst_UsartParser::parserNew_data()
{
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<int>("deviceCode");
    QTest::addColumn<int>("numBVD");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("dial");

    QTest::newRow("call to 123 from unit 3")
        << QByteArray::fromHex("FA 01 03 00 02 00 00 01 02 03 F5") << 1 << 3 << 2 << 123;
    QTest::newRow("markers only") << QByteArray::fromHex("FA F5") << 0xF5 << 0 << 0 << 0;
    QTest::newRow("three bytes") << QByteArray::fromHex("FA 07 F5") << 7 << 0xF5 << 0 << 0;
    QTest::newRow("cut after the thousands digit")
        << QByteArray::fromHex("FA 01 04 A2 08 00 05 F5") << 1 << 4 << 8 << 5 * 1000 + 0xF5 * 100;
    QTest::newRow("bytes after the end marker ignored")
        << QByteArray::fromHex("FA 01 03 00 01 00 00 00 04 02 F5 77 F5") << 1 << 3 << 1 << 42;
    QTest::newRow("digit 10 in the thousands")
        << QByteArray::fromHex("FA 01 01 00 02 00 0A 00 00 00 F5") << 1 << 1 << 2 << 10000;
    QTest::newRow("digits FF wrap at 16 bits")
        << QByteArray::fromHex("FA 01 01 00 02 00 FF FF FF FF F5") << 1 << 1 << 2 << 21161;
}

void tst_UsartParser::parserNew()
{
    QFETCH(QByteArray, packet);
    QFETCH(int, deviceCode);
    QFETCH(int, numBVD);
    QFETCH(int, status);
    QFETCH(int, dial);

    // The packet sits at the start of a larger block of non-zero bytes, so a
    // read beyond its end shows up as a wrong field instead of a lucky 0.
    QByteArray block = packet + QByteArray(16, '\x77');
    QByteArray view = QByteArray::fromRawData(block.constData(), packet.size());

    UsartData data;
    // Leftovers of an earlier frame must not survive a short one.
    data.deviceCode = 0x55;
    data.numBVD = 0x55;
    data.status = 0x55;
    data.dial = 5555;
    UsartParser parser(nullptr, &data, nullptr);
    parser.parserNew(view);

    QCOMPARE(int(data.deviceCode), deviceCode);
    QCOMPARE(int(data.numBVD), numBVD);
    QCOMPARE(int(data.status), status);
    QCOMPARE(int(data.dial), dial);
    QCOMPARE(data.data.toHex(' '), packet.toHex(' '));
    QVERIFY(!data.queueBufferTx.detect_data());
}

QTEST_GUILESS_MAIN(tst_UsartParser)
#include "tst_usartparser.moc"
