#include "usartdata.h"

#include "stdoutcapture.h"

#include <QtTest>

static QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

class tst_UsartData : public QObject
{
    Q_OBJECT

private slots:
    void startValues();
    void writeCmd_data();
    void writeCmd();
    void setRoom_data();
    void setRoom();
    void commandOpenOnetimeKeepsLowByte();
    void commandMessage_data();
    void commandMessage();
    void commandMessageTooLong_data();
    void commandMessageTooLong();
    void checkStatus_data();
    void checkStatus();
    void getBufferWrite();
};

// The first poll is sent before the shield has said anything, so these decide it.
void tst_UsartData::startValues()
{
    UsartData data;
    QCOMPARE(int(data.status), 1);
    QCOMPARE(int(data.numBVD), 0);
    QCOMPARE(int(data.orangeCMD), 0);
    QCOMPARE(int(data.openDoor), 1);
    QVERIFY(!data.queueBufferTx.detect_data());
    QVERIFY(!data.messageTx.detect_data());
}

void tst_UsartData::writeCmd_data()
{
    QTest::addColumn<int>("numBVD");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("cmd");
    QTest::addColumn<int>("dial");
    QTest::addColumn<QByteArray>("frame");

    QTest::newRow("pickup for apartment 123 at unit 3")
        << 3 << 2 << 8 << 123 << hex("FA 03 03 A2 02 08 00 01 02 03 F5");
    QTest::newRow("first idle poll") << 2 << 1 << 0 << 0 << hex("FA 03 02 A2 01 00 00 00 00 00 F5");
    QTest::newRow("bytes at their top values")
        << 255 << 0x60 << 0x10 << 9999 << hex("FA 03 FF A2 60 10 09 09 09 09 F5");
}

void tst_UsartData::writeCmd()
{
    QFETCH(int, numBVD);
    QFETCH(int, status);
    QFETCH(int, cmd);
    QFETCH(int, dial);
    QFETCH(QByteArray, frame);

    UsartData data;
    data.write_cmd(uint8_t(numBVD), uint8_t(status), uint8_t(cmd), uint16_t(dial));
    QCOMPARE(data.queueBufferTx.size(), 1);
    QCOMPARE(data.queueBufferTx.get_data().toHex(' '), frame.toHex(' '));
    QVERIFY(!data.messageTx.detect_data());
}

void tst_UsartData::setRoom_data()
{
    QTest::addColumn<int>("room");
    QTest::addColumn<QByteArray>("digits");

    QTest::newRow("0") << 0 << hex("00 00 00 00");
    QTest::newRow("9") << 9 << hex("00 00 00 09");
    QTest::newRow("10") << 10 << hex("00 00 01 00");
    QTest::newRow("1234") << 1234 << hex("01 02 03 04");
    QTest::newRow("9999") << 9999 << hex("09 09 09 09");
    QTest::newRow("12345 loses its fifth digit") << 12345 << hex("02 03 04 05");
}

void tst_UsartData::setRoom()
{
    QFETCH(int, room);
    QFETCH(QByteArray, digits);

    uint8_t buffer[12];
    memset(buffer, 0xEE, sizeof buffer);
    UsartData::set_room(buffer, uint16_t(room));
    const QByteArray all(reinterpret_cast<const char *>(buffer), sizeof buffer);
    // Only bytes 6 to 9 belong to the apartment.
    QCOMPARE(all.toHex(' '), (QByteArray(6, '\xEE') + digits + QByteArray(2, '\xEE')).toHex(' '));
}

void tst_UsartData::commandOpenOnetimeKeepsLowByte()
{
    UsartData data;
    data.command_open_onetime(260);
    QCOMPARE(int(data.openDoor), 4);
    QCOMPARE(int(data.orangeCMD), 0x10);
}

void tst_UsartData::commandMessage_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("lower case") << "fa0102" << hex("FA 01 02");
    QTest::newRow("upper case") << "FA0102" << hex("FA 01 02");
    QTest::newRow("odd last digit read alone") << "ABC" << hex("AB 0C");
    QTest::newRow("pair that is no number") << "zz10" << hex("00 10");
    QTest::newRow("empty text") << "" << QByteArray();
    QTest::newRow("255 bytes") << QString("a5").repeated(255) << QByteArray(255, '\xA5');
}

void tst_UsartData::commandMessage()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);

    UsartData data;
    QVERIFY(data.command_message(text));
    QCOMPARE(data.message, text);
    QCOMPARE(data.messageTx.size(), 1);
    QCOMPARE(data.messageTx.get_data().toHex(' '), bytes.toHex(' '));
    QVERIFY(!data.queueBufferTx.detect_data());
}

void tst_UsartData::commandMessageTooLong_data()
{
    QTest::addColumn<int>("hexDigits");

    QTest::newRow("256 bytes") << 512;
    QTest::newRow("255 bytes and an odd digit") << 511;
    QTest::newRow("1000 bytes") << 2000;
}

// The queue's length count is 8 bits wide: a longer message would go out cut short.
void tst_UsartData::commandMessageTooLong()
{
    QFETCH(int, hexDigits);

    UsartData data;
    bool queued = true;
    QStringList diagnostics;
    {
        StdoutCapture err(STDERR_FILENO);
        queued = data.command_message(QString(hexDigits, QLatin1Char('1')));
        diagnostics = err.lines();
    }
    QVERIFY(!queued);
    QVERIFY(!data.messageTx.detect_data());
    QCOMPARE(diagnostics.size(), 1);
    QVERIFY2(diagnostics.first().startsWith("console: "), qPrintable(diagnostics.first()));
}

void tst_UsartData::checkStatus_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("mask");
    QTest::addColumn<bool>("result");

    QTest::newRow("door bit within a two-bit mask") << 0x20 << 0x22 << true;
    QTest::newRow("idle and call both set") << 0x03 << 0x02 << true;
    QTest::newRow("no shared bit") << 0x01 << 0x02 << false;
    QTest::newRow("status 0") << 0x00 << 0xFF << false;
}

void tst_UsartData::checkStatus()
{
    QFETCH(int, status);
    QFETCH(int, mask);
    QFETCH(bool, result);

    UsartData data;
    data.status = uint8_t(status);
    QCOMPARE(data.check_status(uint8_t(mask)), result);
}

void tst_UsartData::getBufferWrite()
{
    UsartData data;
    data.write_cmd(2, 1, 0, 0);
    data.write_cmd(3, 1, 0, 0);
    data.command_message("0102");

    const QByteArray untouched("before");
    QByteArray write = untouched;
    data.get_buffer_write(write);
    QCOMPARE(write, hex("01 02"));
    data.get_buffer_write(write);
    QCOMPARE(write, hex("FA 03 02 A2 01 00 00 00 00 00 F5"));
    data.get_buffer_write(write);
    QCOMPARE(write, hex("FA 03 03 A2 01 00 00 00 00 00 F5"));

    write = untouched;
    data.get_buffer_write(write);
    QCOMPARE(write, untouched);
}

QTEST_GUILESS_MAIN(tst_UsartData)
#include "tst_usartdata.moc"
