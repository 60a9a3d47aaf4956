// tmx-sip's two readers of text: its configuration file and the daemon's
// event lines.
#include <QtTest>

#include "config.h"
#include "eventline.h"

#ifndef TMX_SIP_EXAMPLE
#error "TMX_SIP_EXAMPLE must name sip/tmx-sip.conf.example"
#endif

class tst_SipConfig : public QObject
{
    Q_OBJECT

private slots:
    void example();
    void config_data();
    void config();
    void eventLine_data();
    void eventLine();
};

// The shipped example is a valid file and says what its comments say.
void tst_SipConfig::example()
{
    Config c;
    std::string error;
    QVERIFY2(c.load(TMX_SIP_EXAMPLE, error), error.c_str());
    QCOMPARE(QString::fromStdString(c.uriFor(123)), QString("sip:alice@192.168.1.21:5060"));
    QCOMPARE(QString::fromStdString(c.uriFor(5)), QString("sip:reception@pbx.example.lan"));
    QCOMPARE(c.listenPort, uint16_t(5060));
    QCOMPARE(c.intercom, 102);
    QCOMPARE(c.openKey, '#');
    QCOMPARE(c.ringTimeoutSeconds, 30u);
}

void tst_SipConfig::config_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("error");     // empty: the file is good
    QTest::addColumn<QString>("check");     // for a good file: key=value of what it set

    QTest::newRow("empty file: defaults") << "" << "" << "open_key=#,ring=30,format=s16be,uri1=";
    QTest::newRow("open key # is a value, not a comment") << "open_key #\n" << "" << "open_key=#";
    QTest::newRow("open key lower case") << "open_key b\n" << "" << "open_key=B";
    QTest::newRow("comments, blanks and CRLF") << "# x\n\n  # y\r\nring_timeout 5\r\n" << "" << "ring=5";
    QTest::newRow("apartment table and default")
        << "apartment 1 sip:a@h\napartment 9999 sips:b@h:5061\ndefault sip:c@h\n" << ""
        << "uri1=sip:a@h,uri9999=sips:b@h:5061,uri5=sip:c@h";
    QTest::newRow("s16le and gains") << "sample_format s16le\ngain_to_phone -6.5\ngain_to_door 3\n" << ""
                                     << "format=s16le,gainPhone=-6.5,gainDoor=3";
    QTest::newRow("listen without port") << "listen 10.0.0.2\n" << "" << "listen=10.0.0.2:5060";

    QTest::newRow("unknown key") << "ring_timeout 5\n\nvolume 3\n" << "f:3: unknown key 'volume'" << "";
    QTest::newRow("key without value") << "default\n" << "f:1: 'default' needs a value" << "";
    QTest::newRow("key twice") << "ring_timeout 5\nring_timeout 6\n" << "f:2: 'ring_timeout' is already set on line 1" << "";
    QTest::newRow("apartment twice") << "apartment 7 sip:a@h\napartment 7 sip:b@h\n" << "f:2: apartment 7 is given twice" << "";
    QTest::newRow("apartment out of range") << "apartment 10000 sip:a@h\n" << "f:1: apartment: '10000'" << "";
    QTest::newRow("apartment without URI") << "apartment 12\n" << "f:1: apartment needs a number and a URI" << "";
    QTest::newRow("not a sip URI") << "apartment 12 http://h/x\n" << "f:1: apartment 12: 'http://h/x' is not a sip: URI" << "";
    QTest::newRow("open key of two characters") << "open_key ##\n" << "f:1: open_key" << "";
    QTest::newRow("ring timeout zero") << "ring_timeout 0\n" << "f:1: ring_timeout: '0'" << "";
    QTest::newRow("ring timeout with unit") << "ring_timeout 30s\n" << "f:1: ring_timeout: '30s'" << "";
    QTest::newRow("sample format") << "sample_format u8\n" << "f:1: sample_format: 'u8'" << "";
    QTest::newRow("gain not a number") << "gain_to_phone loud\n" << "f:1: gain_to_phone: 'loud'" << "";
    QTest::newRow("gain too high") << "gain_to_door 40\n" << "f:1: gain_to_door: '40'" << "";
    QTest::newRow("rtp ports reversed") << "rtp_ports 2000-1500\n" << "f:1: rtp_ports: '2000-1500'" << "";
    QTest::newRow("listen port") << "listen 127.0.0.1:70000\n" << "f:1: listen: bad port" << "";
    QTest::newRow("listen host name") << "listen pbx.lan\n" << "f:1: listen: 'pbx.lan' is not an IPv4 address" << "";
    QTest::newRow("daemon and intercom") << "intercom 102\ndaemon /bin/true\n" << "f:1: 'intercom' goes with the default daemon" << "";
}

void tst_SipConfig::config()
{
    QFETCH(QString, text);
    QFETCH(QString, error);
    QFETCH(QString, check);
    Config c;
    std::string why;
    const bool ok = c.parse(text.toStdString(), "f", why);
    if (!error.isEmpty()) {
        QVERIFY(!ok);
        QVERIFY2(QString::fromStdString(why).startsWith(error), why.c_str());
        return;
    }
    QVERIFY2(ok, why.c_str());
    for (const QString &kv : check.split(',', Qt::SkipEmptyParts)) {
        const QString key = kv.section('=', 0, 0), want = kv.section('=', 1);
        QString got;
        if (key == "open_key")
            got = QChar(c.openKey);
        else if (key == "ring")
            got = QString::number(c.ringTimeoutSeconds);
        else if (key == "format")
            got = c.sampleFormat == Config::SampleFormat::S16BE ? "s16be" : "s16le";
        else if (key.startsWith("uri"))
            got = QString::fromStdString(c.uriFor(key.mid(3).toInt()));
        else if (key == "gainPhone")
            got = QString::number(c.gainToPhoneDb);
        else if (key == "gainDoor")
            got = QString::number(c.gainToDoorDb);
        else if (key == "listen")
            got = QString::fromStdString(c.listenAddress) + ":" + QString::number(c.listenPort);
        QCOMPARE(got, want);
    }
}

void tst_SipConfig::eventLine_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("apartment");
    QTest::addColumn<int>("door");

    QTest::newRow("dial") << "dial 123" << int(EventLine::Dial) << 123 << -1;
    QTest::newRow("dial with door") << "dial 123 3" << int(EventLine::Dial) << 123 << 3;
    QTest::newRow("dial apartment 0") << "dial 0 1" << int(EventLine::Dial) << 0 << 1;
    QTest::newRow("dial largest") << "dial 65535 255" << int(EventLine::Dial) << 65535 << 255;
    QTest::newRow("dial, CR at the end") << "dial 12 4\r" << int(EventLine::Dial) << 12 << 4;
    QTest::newRow("pickup") << "pickup" << int(EventLine::Pickup) << -1 << -1;
    QTest::newRow("open") << "open" << int(EventLine::Open) << -1 << -1;
    QTest::newRow("drop") << "drop" << int(EventLine::Drop) << -1 << -1;
    QTest::newRow("message") << "message 0a1bff" << int(EventLine::Message) << -1 << -1;
    QTest::newRow("banner") << "TMX_STM_Driver 2.17" << int(EventLine::Other) << -1 << -1;
    QTest::newRow("banner intercom") << "Intercom: 102" << int(EventLine::Other) << -1 << -1;
    QTest::newRow("ready") << "shield_ready" << int(EventLine::Other) << -1 << -1;
    QTest::newRow("# line") << "#Intercom 102" << int(EventLine::Other) << -1 << -1;
    QTest::newRow("empty") << "" << int(EventLine::Other) << -1 << -1;
    QTest::newRow("dial without number") << "dial" << int(EventLine::Other) << -1 << -1;
    QTest::newRow("dial not a number") << "dial 12a" << int(EventLine::Other) << -1 << -1;
    QTest::newRow("dial three numbers") << "dial 1 2 3" << int(EventLine::Other) << -1 << -1;
    QTest::newRow("dial huge") << "dial 1234567" << int(EventLine::Other) << -1 << -1;
    QTest::newRow("dial negative") << "dial -1" << int(EventLine::Other) << -1 << -1;
    QTest::newRow("word inside another") << "pickups" << int(EventLine::Other) << -1 << -1;
    QTest::newRow("prompt") << "mask_imit" << int(EventLine::Other) << -1 << -1;
}

void tst_SipConfig::eventLine()
{
    QFETCH(QString, line);
    QFETCH(int, kind);
    QFETCH(int, apartment);
    QFETCH(int, door);
    const EventLine e = EventLine::parse(line.toStdString());
    QCOMPARE(int(e.kind), kind);
    if (kind == EventLine::Dial) {
        QCOMPARE(e.apartment, apartment);
        QCOMPARE(e.door, door);
    }
}

QTEST_MAIN(tst_SipConfig)
#include "tst_sipconfig.moc"
