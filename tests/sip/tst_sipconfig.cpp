// tmx-sip's readers of text (its configuration file, the daemon's event
// lines and its answers in the dialplan dialogue, the phone's SRTP keys) and
// its rules for callers (PIN entry, lock-out, the budget of wrong PINs) and
// for trying again.
#include <QCryptographicHash>
#include <QRegularExpression>
#include <QtTest>

#include <re.h>

#include "backoff.h"
#include "config.h"
#include "dialplan.h"
#include "digestchallenge.h"
#include "doorline.h"
#include "eventline.h"
#include "linebuffer.h"
#include "lockout.h"
#include "pinbudget.h"
#include "pinentry.h"
#include "ringtoopen.h"
#include "srtplayer.h"
#include "steadyclock.h"
#include "tlscontext.h"

#if !defined(TMX_SIP_EXAMPLE) || !defined(TMX_MAKE_CERTIFICATES) || !defined(TMX_SIP_LOGKEYS) || !defined(TMX_SIP_DOC)
#error "TMX_SIP_EXAMPLE must name sip/tmx-sip.conf.example, TMX_MAKE_CERTIFICATES the script, TMX_SIP_LOGKEYS and TMX_SIP_DOC the keys and their page"
#endif

class tst_SipConfig : public QObject
{
    Q_OBJECT

private slots:
    void example();
    void config_data();
    void config();
    void tlsFiles_data();
    void tlsFiles();
    void doorLine_data();
    void doorLine();
    void eventLine_data();
    void eventLine();
    void lineBuffer();
    void dialPlan_data();
    void dialPlan();
    void pinEntry_data();
    void pinEntry();
    void lockout_data();
    void lockout();
    void digest_data();
    void digest();
    void backoff_data();
    void backoff();
    void srtpKey_data();
    void srtpKey();
    void srtpStream();
};

// The shipped example is a valid file and says what its comments say.
void tst_SipConfig::example()
{
    Config c;
    std::string error;
    QVERIFY2(c.load(TMX_SIP_EXAMPLE, error), error.c_str());
    QCOMPARE(c.urisFor(123), std::vector<std::string>{"sip:alice@192.168.1.21:5060"});
    QCOMPARE(c.urisFor(5), std::vector<std::string>{"sip:reception@pbx.example.lan"});
    QCOMPARE(c.urisFor(125), (std::vector<std::string>{"sip:carol@192.168.1.23", "sip:dave@192.168.1.24"}));
    QCOMPARE(c.sip.listenPort, uint16_t(5060));
    QCOMPARE(c.daemon.intercom, 102);
    QCOMPARE(c.phones.openKey, '#');
    QCOMPARE(c.phones.ringTimeoutSeconds, 30u);
    QVERIFY(c.masks.virtualApartments == std::set<int>{124});
    QVERIFY(c.registrar.uri.empty() && c.callingIn.allow.empty());

    // The log's keys as the user's page lists them (the first column of its
    // table, several keys to a row): the same set.
    auto read = [](const char *path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    };
    QStringList declared, documented;
    for (auto it = QRegularExpression(R"re(LogKey \w+\{"([a-z_.]+)"\})re").globalMatch(read(TMX_SIP_LOGKEYS)); it.hasNext();)
        declared << it.next().captured(1);
    const QString page = read(TMX_SIP_DOC);
    const QString section = page.mid(page.indexOf("## Keys in the log")).section("\n## ", 0, 0);
    for (const QString &row : section.split('\n')) {
        if (row.startsWith("| `"))
            for (const QString &key : row.section('|', 1, 1).split(',', Qt::SkipEmptyParts))
                documented << key.trimmed().remove('`');
    }
    declared.sort();
    documented.sort();
    QVERIFY(declared.size() > 20);
    QCOMPARE(documented, declared);
}

void tst_SipConfig::config_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("error");     // empty: the file is good
    QTest::addColumn<QString>("check");     // for a good file: key=value of what it set

    QTest::newRow("empty file: defaults") << "" << "" << "open_key=#,ring=30,format=s16be,uri1=,secrets=0,inband=0";
    QTest::newRow("open key # is a value, not a comment") << "open_key #\n" << "" << "open_key=#";
    QTest::newRow("open key lower case") << "open_key b\n" << "" << "open_key=B";
    QTest::newRow("comments, blanks and CRLF") << "# x\n\n  # y\r\nring_timeout 5\r\n" << "" << "ring=5";
    QTest::newRow("apartment table and default")
        << "apartment 1 sip:a@h\napartment 9999 sip:b@h:5070;transport=udp\ndefault sip:c@h\n" << ""
        << "uri1=sip:a@h,uri9999=sip:b@h:5070;transport=udp,uri5=sip:c@h";
    QTest::newRow("flats with several phones")
        << "apartment 1 sip:a@h 101 virtual\ndefault sip:c@h sip:d@h;transport=udp\nregistrar sip:pbx\npassword p\n" << ""
        << "uri1=sip:a@h sip:101@pbx,uri2=sip:c@h sip:d@h;transport=udp,virtual=1";
    QTest::newRow("s16le and gains") << "sample_format s16le\ngain_to_phone -6.5\ngain_to_door 3\n" << ""
                                     << "format=s16le,gainPhone=-6.5,gainDoor=3,changed=phones+daemon";
    QTest::newRow("listen without port") << "listen 10.0.0.2\n" << "" << "listen=10.0.0.2:5060";
    QTest::newRow("registrar, proxy and extensions")
        << "registrar sip:pbx.lan:5070\npassword a b\noutbound_proxy sip:10.0.0.1\nuser 201\n"
           "apartment 12 101\ndefault 100\napartment 13 sip:x@h virtual\nblacklist 5 7-9\n"
        << "" << "aor=sip:201@pbx.lan:5070,proxy=sip:10.0.0.1;lr,uri12=sip:101@pbx.lan:5070,uri14=sip:100@pbx.lan:5070,"
                 "uri13=sip:x@h,virtual=13,black=5+7+8+9,password=a b,secrets=1,to sip:anna@192.168.1.30=yes";
    QTest::newRow("allow-list, a short PIN warns")
        << "allow sip:201@pbx.lan pw1\nallow 7 pw2\npin 1234\n" << ""
        << "allowed 201@PBX.lan=sip:201@pbx.lan,allowed 201@other=,allowed 7@any=7,allowed 8@pbx.lan=,"
           "password 7=pw2,secrets=1,warning=f:3: warning: pin: 4 digits are guessed soon; give 6 or more";
    QTest::newRow("extension allowed without password, with a registrar")
        << "registrar sip:pbx\npassword x\nallow 201\npin 123456\npin_budget 3\n" << ""
        << "allowed 201@pbx=201,password 201=,warning=,budget=3,secrets=1";
    // Every URI is reached over TLS; libre routes sip: URIs only.
    QTest::newRow("over TLS")
        << "transport tls\ntls_certificate c.pem\nlisten 10.0.0.2\napartment 1 sip:a@h\napartment 2 sips:b@h:5070\n"
           "apartment 3 sip:c@h;transport=TLS\nregistrar sip:pbx\npassword p\noutbound_proxy sip:10.0.0.1\n"
           "apartment 4 104\n"
        << "" << "listen=10.0.0.2:5061,uri1=sip:a@h;transport=tls,uri2=sip:b@h:5070;transport=tls,"
                 "uri3=sip:c@h;transport=TLS,uri4=sip:104@pbx;transport=tls,proxy=sip:10.0.0.1;lr;transport=tls,"
                 "registrar=sip:pbx;transport=tls";
    // Where the registrar's password may go: its host (any case) and port.
    QTest::newRow("the registrar's password goes to the registrar")
        << "registrar sip:PBX.lan\npassword p\n" << ""
        << "to sip:101@pbx.lan=yes,to sip:101@pbx.lan:5060=yes,to sip:anna@192.168.1.30=no,"
           "to sip:101@pbx.lan:5070=no,to sip:101@pbx.lan.example=no,to sips:101@pbx.lan=no";
    QTest::newRow("a caller at its host before the same user anywhere")
        << "registrar sip:pbx\npassword x\nallow 201\nallow sip:201@home.example pw\npin 123456\n" << ""
        << "allowed 201@home.example=sip:201@home.example,allowed 201@pbx=201";

    QTest::newRow("a SIGHUP sees the last key of each group")
        << "srtp off\nregister_retry 5-600\npin_lockout 60\nblacklist 7\n" << "" << "changed=registrar+phones+masks+callingIn";
    QTest::newRow("unknown key") << "ring_timeout 5\n\nvolume 3\n" << "f:3: unknown key 'volume'" << "";
    QTest::newRow("key without value") << "default\n" << "f:1: 'default' needs a value" << "";
    QTest::newRow("key twice") << "ring_timeout 5\nring_timeout 6\n" << "f:2: 'ring_timeout' is already set on line 1" << "";
    QTest::newRow("apartment twice") << "apartment 7 sip:a@h\napartment 7 sip:b@h\n" << "f:2: apartment 7 is given twice" << "";
    QTest::newRow("apartment out of range") << "apartment 10000 sip:a@h\n" << "f:1: apartment: '10000'" << "";
    QTest::newRow("apartment without URI") << "apartment 12\n" << "f:1: apartment needs a number and a URI" << "";
    QTest::newRow("not a sip URI") << "apartment 12 http://h/x\n" << "f:1: apartment 12: 'http://h/x' is neither a sip: URI nor an extension" << "";
    QTest::newRow("a flat's second phone not a sip URI") << "apartment 12 sip:a@h tel:+4930\n" << "f:1: apartment 12: 'tel:+4930' is neither" << "";
    QTest::newRow("a phone twice in the default") << "default 7 sip:a@h 7\n" << "f:1: default: '7' is given twice" << "";
    QTest::newRow("a flat's second phone on TLS over UDP") << "ring_timeout 5\ndefault sip:a@h sips:b@h\n" << "f:2: 'sips:b@h' needs 'transport tls'" << "";
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
    QTest::newRow("extension without registrar") << "ring_timeout 5\napartment 12 101\n" << "f:2: an extension without 'registrar'" << "";
    QTest::newRow("allow without pin") << "allow 201 pw\n" << "f:1: 'allow' lets callers open doors and needs 'pin'" << "";
    QTest::newRow("registrar without password") << "registrar sip:pbx\n" << "f:1: 'registrar' needs 'password'" << "";
    QTest::newRow("password without registrar") << "password x\n" << "f:1: registration settings without 'registrar'" << "";
    QTest::newRow("registrar with a user") << "registrar sip:me@pbx\n" << "f:1: registrar: 'sip:me@pbx' is not a sip: URI of a host" << "";
    QTest::newRow("virtual above the masks") << "apartment 1024 sip:a@h virtual\n" << "f:1: apartment 1024: only apartments 0 to 1023" << "";
    QTest::newRow("blacklist range reversed") << "blacklist 9-7\n" << "f:1: blacklist: '9-7'" << "";
    QTest::newRow("pin not digits") << "pin 12a4\n" << "f:1: pin: give 4 to 16 digits" << "";
    QTest::newRow("allow without password or registrar")
        << "pin 123456\nallow 202 pw\nallow 201\n"
        << "f:3: allow: '201' has no password: add the password its phone answers with (allow 201 PASSWORD), "
           "or a 'registrar'" << "";
    QTest::newRow("two callers on one line") << "allow 201 202 203\n" << "f:1: allow: one caller per line" << "";
    QTest::newRow("pin_budget zero") << "pin_budget 0\n" << "f:1: pin_budget: '0'" << "";
    QTest::newRow("sips without TLS") << "apartment 9 sips:b@h\n" << "f:1: 'sips:b@h' needs 'transport tls'" << "";
    QTest::newRow("UDP URI with TLS")
        << "transport tls\ntls_certificate c.pem\ndefault sip:c@h;transport=udp\n"
        << "f:3: 'sip:c@h;transport=udp' asks for transport udp, but with 'transport tls' only tls is open" << "";
    QTest::newRow("TLS without certificate") << "transport tls\n" << "f:1: 'transport tls' needs 'tls_certificate'" << "";
    QTest::newRow("TLS files without TLS") << "tls_ca ca.pem\n" << "f:1: 'tls_ca' goes with 'transport tls'" << "";
    QTest::newRow("pin too short") << "pin 123\n" << "f:1: pin: give 4 to 16 digits" << "";
    QTest::newRow("srtp") << "srtp on\n" << "f:1: srtp: 'on' is none of off, optional, mandatory" << "";
    QTest::newRow("keys as tones, a SIGHUP sees it") << "inband_keys on\n" << "" << "inband=1,changed=phones";
    QTest::newRow("keys as tones yes") << "inband_keys yes\n" << "f:1: inband_keys: 'yes' is not on or off" << "";
    QTest::newRow("MQTT over TLS, discovery off, ring-to-open")
        << "mqtt_broker mqtts://[::1]\nmqtt_ca ca.pem\nmqtt_user u\nmqtt_password p w\nmqtt_discovery off\n"
           "mqtt_door_units 3 1\nring_to_open 12 7\nring_to_open_minutes 5\nring_to_open_on yes\n"
        << "" << "mqtt=::1:8883 tls units 1+3 discovery= topic intercom/*,ring_to_open=7+12 for 5 on,secrets=1,warning=";
    QTest::newRow("MQTT defaults; a password in the clear warns")
        << "mqtt_broker mqtt://broker.lan:1884/\nmqtt_user u\nmqtt_password p\nmqtt_topic home/door1\n" << ""
        << "mqtt=broker.lan:1884 units 1 discovery=homeassistant topic home/door1,ring_to_open= for 60,"
           "warning=f:3: warning: mqtt_password goes to the broker unencrypted; use mqtts://";
    QTest::newRow("MQTT broker not mqtt://") << "mqtt_broker tcp://h:1883\n" << "f:1: mqtt_broker: 'tcp://h:1883'" << "";
    QTest::newRow("MQTT topic with a wildcard") << "mqtt_broker mqtt://h\nmqtt_topic a/#\n" << "f:2: mqtt_topic: 'a/#'" << "";
    QTest::newRow("MQTT key without a broker") << "mqtt_user u\n" << "f:1: 'mqtt_user' goes with 'mqtt_broker'" << "";
    QTest::newRow("ring-to-open on without apartments") << "ring_to_open_on yes\n"
                                                         << "f:1: 'ring_to_open_on yes' needs 'ring_to_open'" << "";
    QTest::newRow("MQTT CA without mqtts") << "mqtt_broker mqtt://h\nmqtt_ca c\n" << "f:2: 'mqtt_ca' goes with an mqtts://" << "";
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
            got = QChar(c.phones.openKey);
        else if (key == "ring")
            got = QString::number(c.phones.ringTimeoutSeconds);
        else if (key == "format")
            got = c.daemon.sampleFormat == Config::SampleFormat::S16BE ? "s16be" : "s16le";
        else if (key.startsWith("uri"))
            for (const std::string &uri : c.urisFor(key.mid(3).toInt()))
                got += (got.isEmpty() ? "" : " ") + QString::fromStdString(uri);
        else if (key == "inband")
            got = QString::number(c.phones.inbandKeys);
        else if (key == "gainPhone")
            got = QString::number(c.phones.gainToPhoneDb);
        else if (key == "gainDoor")
            got = QString::number(c.phones.gainToDoorDb);
        else if (key == "listen")
            got = QString::fromStdString(c.sip.listenAddress) + ":" + QString::number(c.sip.listenPort);
        else if (key == "aor")
            got = QString::fromStdString(c.aor());
        else if (key == "registrar")
            got = QString::fromStdString(c.registrar.uri);
        else if (key == "proxy")
            got = QString::fromStdString(c.registrar.outboundProxy);
        else if (key == "password")
            got = QString::fromStdString(c.registrar.password);
        else if (key == "secrets")
            got = QString::number(c.holdsSecrets());
        else if (key == "virtual" || key == "black") {
            QStringList n;
            for (int a : key == "virtual" ? c.masks.virtualApartments : c.masks.blacklist)
                n << QString::number(a);
            got = n.join('+');
        } else if (key.startsWith("password ")) {
            const Config::Caller *who = c.callerNamed(key.mid(9).toStdString());
            got = who ? QString::fromStdString(who->password) : "(none)";
        } else if (key == "warning") {
            for (const std::string &w : c.warnings)
                got += QString::fromStdString(w);
        } else if (key == "mqtt") {
            QStringList units;
            for (int u : c.mqtt.doorUnits)
                units << QString::number(u);
            got = QString::fromStdString(c.mqtt.host) + ":" + QString::number(c.mqtt.port) + (c.mqtt.tls ? " tls" : "")
                + " units " + units.join('+') + " discovery=" + QString::fromStdString(c.mqtt.discovery) + " topic "
                + QString::fromStdString(c.mqtt.topic);
            if (want.endsWith("intercom/*") && got.startsWith(want.chopped(1)) && !got.contains('#'))
                got = want;     // the host's name follows
        } else if (key == "ring_to_open") {
            QStringList a;
            for (int n : c.ringToOpen.apartments)
                a << QString::number(n);
            got = a.join('+') + " for " + QString::number(c.ringToOpen.minutes) + (c.ringToOpen.on ? " on" : "");
        } else if (key == "budget") {
            got = QString::number(c.callingIn.pinBudget);
        } else if (key.startsWith("to ")) {
            got = c.toRegistrar(key.mid(3).toStdString()) ? "yes" : "no";
        } else if (key == "changed") {
            // The groups a SIGHUP from an empty file to this one sees changed.
            Config d;
            QVERIFY(d.parse("", "f", why));
            QStringList g;
            if (!(c.sip == d.sip))
                g << "sip";
            if (!(c.registrar == d.registrar))
                g << "registrar";
            if (!(c.phones == d.phones))
                g << "phones";
            if (!(c.daemon == d.daemon))
                g << "daemon";
            if (!(c.masks == d.masks))
                g << "masks";
            if (!(c.callingIn == d.callingIn))
                g << "callingIn";
            got = g.join('+');
        } else if (key.startsWith("allowed ")) {
            const QString who = key.mid(8);
            got = QString::fromStdString(c.allowed(who.section('@', 0, 0).toStdString(), who.section('@', 1).toStdString()));
        } else
            QFAIL(qPrintable("unknown check " + key));
        QCOMPARE(got, want);
    }
}

// The TLS files are read at start (and by --check): a file that cannot
// serve is named, with what is wrong with it.
void tst_SipConfig::tlsFiles_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("error");     // empty: the files are good

    QTest::newRow("certificate with its key, and a CA")
        << "tls_certificate DIR/tmx.pem\ntls_ca DIR/ca.pem\n" << "";
    QTest::newRow("key apart") << "tls_certificate DIR/tmx.crt\ntls_key DIR/tmx.key\n" << "";
    QTest::newRow("no such file") << "tls_certificate DIR/none.pem\n" << "DIR/none.pem: cannot read";
    QTest::newRow("key of another certificate")
        << "tls_certificate DIR/tmx.crt\ntls_key DIR/phone.key\n"
        << "DIR/phone.key: the key does not belong to the certificate in DIR/tmx.crt";
    QTest::newRow("certificate without its key") << "tls_certificate DIR/tmx.crt\n" << "DIR/tmx.crt: no PEM key in it";
    QTest::newRow("a key for a CA")
        << "tls_certificate DIR/tmx.pem\ntls_ca DIR/ca.key\n" << "DIR/ca.key: no PEM CA certificate";
}

void tst_SipConfig::tlsFiles()
{
    QFETCH(QString, text);
    QFETCH(QString, error);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QCOMPARE(QProcess::execute("sh", {TMX_MAKE_CERTIFICATES, dir.path()}), 0);
    Config c;
    std::string why;
    const QString file = QString("transport tls\n" + text).replace("DIR", dir.path());
    QVERIFY2(c.parse(file.toStdString(), "f", why), why.c_str());
    const bool ok = TlsContext().load(c, why);
    if (error.isEmpty())
        QVERIFY2(ok, why.c_str());
    else
        QVERIFY2(!ok && QString::fromStdString(why).startsWith(QString(error).replace("DIR", dir.path())), why.c_str());
}

// The door line's arbitration, driven by the daemon's event lines without a
// daemon (so an "open N" on an idle line finds it not running). A step is
// "< LINE" from the daemon, "A CMD[=REFUSAL]" a command of front-end A or B,
// "state S", "owner A|B|R|-", or "A heard E,E..." (what A heard since);
// "ring-to-open N [M]" (first) switches on ring-to-open, R, for apartment N
// (for M minutes); "wait S" runs the event loop until the line is in state
// S, "wait off" until ring-to-open is off.
void tst_SipConfig::doorLine_data()
{
    QTest::addColumn<QString>("steps");

    QTest::newRow("one front-end owns the door call")
        << "< dial 123 3;A heard ringing,ring 123 3;A claim;B claim=another front-end took it;"
           "B pickup=not the door call's owner;B open=not the answered door call;A open=not the answered door call;"
           "A pickup;< pickup;state talking;< dial 124 2;state talking;owner A;B open=the daemon is not running;"
           "< open;state door open;B drop;state ending;owner -;A drop=no door call;< drop;state idle;"
           "A heard talking,door open,open 3,ending,idle,ended";
    QTest::newRow("open N only on an idle line")
        << "< dial 7;B open 3=a door call is up;A claim;A pickup;< pickup;B open 3=a door call is up;< drop;"
           "state idle;B open 3=the daemon is not running";
    QTest::newRow("taken at the apartment while the phone rings")
        << "< dial 123 3;A claim;< pickup;state talking;owner -;A pickup=not the door call's owner;"
           "A open=the daemon is not running;< drop;A drop=no door call;B open=not the answered door call";
    // The daemon never reports the pickup: the call is not held for good.
    QTest::newRow("ring-to-open lets go of a call the daemon does not carry")
        << "ring-to-open 123;< dial 124;owner -;< drop;< dial 123 3;owner R;A claim=another front-end took it;"
           "wait ending;owner -;< dial 123 1;owner R";
    QTest::newRow("ring-to-open switches itself off")
        << "ring-to-open 123 0;wait off;< dial 123 3;owner -;A claim;owner A";
    // The daemon's standard error as it writes it (';' written '|' here).
    QTest::newRow("the daemon's reported drops count from the pickup")
        << "! udp: audio for the shield arrives faster than it is sent| dropped 3 oldest frame(s) to keep the delay at 2 frames;"
           "< dial 123 3;A claim;A pickup;drops 0 0;< pickup;"
           "! udp: audio for the shield arrives faster than it is sent| dropped 3 oldest frame(s) to keep the delay at 2 frames;"
           "! udp: sending to port 20002 fell behind the shield| skipped 2 received frame(s);"
           "! serial: door unit 3 did not confirm the opening within 5 s| dropped 7;"
           "! udp: sending to port 20002 fell behind the shield| skipped 99999999999999999999 received frame(s);drops 3 1000002;"
           "< drop;< dial 124 2;A claim;A pickup;drops 0 0";
    QTest::newRow("a dial nobody took rings anew; a drop of nothing changes nothing")
        << "< dial 1;< dial 2 4;state ringing;< drop;< drop;< open;state idle;"
           "B heard ringing,ring 1 -1,ring 2 4,idle,ended,open -1";
}

void tst_SipConfig::doorLine()
{
    QFETCH(QString, steps);
    struct FrontEnd : DoorLine::Listener, DoorLine::AudioPeer
    {
        QStringList heard;
        void lineChanged(DoorLine::State state) override { heard << DoorLine::stateName(state); }
        void ring(int apartment, int door) override { heard << QString("ring %1 %2").arg(apartment).arg(door); }
        void doorOpened(int door) override { heard << QString("open %1").arg(door); }
        void callEnded() override { heard << "ended"; }
        void fromDaemon(const int16_t *, size_t) override {}
        void toDaemon(int16_t *, size_t) override {}
    } a, b;
    // libre for ring-to-open's timers; closed after the line and ring-to-open.
    struct Libre
    {
        bool open = false;
        ~Libre()
        {
            if (open)
                libre_close();
        }
    } libre;
    Config config;
    const bool withRingToOpen = steps.startsWith("ring-to-open ");
    if (withRingToOpen) {
        QCOMPARE(libre_init(), 0);
        libre.open = true;
        config.ringToOpen.apartments.insert(steps.section(';', 0, 0).section(' ', 1).toInt());
        config.ringToOpen.on = true;
        if (!steps.section(';', 0, 0).section(' ', 2).isEmpty())
            config.ringToOpen.minutes = steps.section(';', 0, 0).section(' ', 2).toUInt();
    }
    DoorLine line{config};
    QScopedPointer<RingToOpen> ringToOpen(withRingToOpen ? new RingToOpen(config, line) : nullptr);
    if (ringToOpen)
        ringToOpen->start();
    line.subscribe(a);
    line.subscribe(b);
    for (const QString &step : steps.split(';')) {
        const QString head = step.section(' ', 0, 0), rest = step.section(' ', 1);
        FrontEnd &f = head == "A" ? a : b;
        if (head == "ring-to-open") {
            QVERIFY(ringToOpen && ringToOpen->isOn());
        } else if (head == "<") {
            line.daemonLine(rest.toStdString());
        } else if (head == "!") {
            line.daemonErrorLine(QString(rest).replace('|', ';').toStdString());
        } else if (head == "drops") {
            QCOMPARE(QString("%1 %2").arg(line.daemonDropped()).arg(line.daemonSkipped()), rest);
        } else if (head == "state") {
            QCOMPARE(QString(DoorLine::stateName(line.state())), rest);
        } else if (head == "wait") {
            struct Wait
            {
                const DoorLine &line;
                const RingToOpen *ringToOpen;
                const QString want;
                QDeadlineTimer deadline;
                struct tmr tick;
                bool done() const
                {
                    return want == "off" ? !ringToOpen->isOn() : DoorLine::stateName(line.state()) == want;
                }
                static void check(void *arg)
                {
                    Wait *w = static_cast<Wait *>(arg);
                    if (w->done() || w->deadline.hasExpired())
                        re_cancel();
                    else
                        tmr_start(&w->tick, 20, check, w);
                }
            } w{line, ringToOpen.data(), rest, QDeadlineTimer(30000), {}};
            tmr_init(&w.tick);
            tmr_start(&w.tick, 20, Wait::check, &w);
            re_main(nullptr);
            tmr_cancel(&w.tick);
            QVERIFY2(w.done(), qPrintable(step));
        } else if (head == "owner") {
            const DoorLine::Listener *o = line.owner();
            QCOMPARE(QString(o == &a ? "A" : o == &b ? "B" : o && o == ringToOpen.data() ? "R" : "-"), rest);
        } else if (rest.startsWith("heard ")) {
            QCOMPARE(f.heard.join(','), rest.mid(6));
            f.heard.clear();
        } else {
            const QString command = rest.section('=', 0, 0), refusal = rest.section('=', 1);
            std::string got;
            if (command == "claim")
                got = line.claim(f, head.toStdString());
            else if (command == "pickup")
                got = line.pickup(f, head.toStdString(), f);
            else if (command == "open")
                got = line.open(f, head.toStdString(), "test");
            else if (command.startsWith("open "))
                got = line.openUnit(f, head.toStdString(), command.mid(5).toInt(), "test");
            else if (command == "drop")
                got = line.drop(f, head.toStdString());
            else
                QFAIL(qPrintable("unknown step " + step));
            QVERIFY2(QString::fromStdString(got) == refusal, qPrintable(step + ": " + QString::fromStdString(got)));
        }
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
    QTest::newRow("dial leading zero") << "dial 0123" << int(EventLine::Other) << -1 << -1;
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
    // As tmx-sip reads it: one line of the daemon's output.
    const std::string output = line.toStdString() + "\n";
    EventLine e;
    LineBuffer().append(output.data(), output.size(), [&](const std::string &read) { e = EventLine::parse(read); });
    QCOMPARE(int(e.kind), kind);
    if (kind == EventLine::Dial) {
        QCOMPARE(e.apartment, apartment);
        QCOMPARE(e.door, door);
    }
}

// Lines in pieces of any size, each without the one "\r" before its "\n";
// a line longer than the limit is dropped whole, and what follows it is
// read as before.
void tst_SipConfig::lineBuffer()
{
    LineBuffer buffer;
    QStringList lines;
    auto add = [&](const std::string &text) {
        buffer.append(text.data(), text.size(), [&](const std::string &line) { lines << QString::fromStdString(line); });
    };
    add("dial 12");
    add("3 3\npick");
    add("up\n\n");
    add("open\r");
    add("\n\r\nx\r\r\ny\rz\n");
    QCOMPARE(lines, QStringList({"dial 123 3", "pickup", "", "open", "", "x\r", "y\rz"}));
    lines.clear();
    for (int i = 0; i < 20; ++i)
        add(std::string(4096, 'x'));
    QVERIFY(buffer.pending() <= LineBuffer::maxLine);
    add("x\ndrop\n");
    QCOMPARE(lines, QStringList({"drop"}));
    QCOMPARE(buffer.dropped(), 1u);
    QCOMPARE(buffer.pending(), size_t(0));
}

// The daemon's answers to the dialogue that loads the masks, as tmx-sip
// reads and checks them: what comes before the first is not the dialogue's.
void tst_SipConfig::dialPlan_data()
{
    QTest::addColumn<QString>("lines");
    QTest::addColumn<int>("state");

    const QString whole = "mask_imit|#Write rooms for shield:|#End read rooms||mask_block|"
                          "#Write blacklist rooms for shield:|#End read rooms||#Shield update virtual list|"
                          "#Shield update black list";
    QTest::newRow("the whole dialogue") << whole << int(DialPlan::Done);
    QTest::newRow("after the banner, with CR") << "TMX_STM_Driver 2.17|#Intercom 102|" + QString(whole).replace("|", "\r|")
                                               << int(DialPlan::Done);
    QTest::newRow("not yet ended") << whole.section('|', 0, 8) << int(DialPlan::Waiting);
    QTest::newRow("a number refused") << "mask_imit|#Write rooms for shield:|Error: big number" << int(DialPlan::Failed);
    QTest::newRow("no empty line after the end") << "mask_imit|#Write rooms for shield:|#End read rooms|mask_block"
                                                 << int(DialPlan::Failed);
}

void tst_SipConfig::dialPlan()
{
    QFETCH(QString, lines);
    QFETCH(int, state);
    DialPlan plan({124, 7}, {125});
    QCOMPARE(QString::fromStdString(plan.commands()), QString("dialplan\n7\n124\n-1\n125\n-1"));
    LineBuffer buffer;
    const std::string output = QString(lines).replace('|', '\n').append('\n').toStdString();
    buffer.append(output.data(), output.size(), [&](const std::string &line) { plan.answer(line); });
    QCOMPARE(int(plan.state()), state);
}

// Keys a caller presses: only the PIN, '#' and a digit 1-9 name a door.
void tst_SipConfig::pinEntry_data()
{
    QTest::addColumn<QString>("keys");
    QTest::addColumn<int>("result");    // of the last key
    QTest::addColumn<int>("door");

    QTest::newRow("right PIN and door") << "1234#5" << int(PinEntry::Door) << 5;
    QTest::newRow("keys after the door") << "1234#59#" << int(PinEntry::Door) << 5;
    QTest::newRow("no PIN") << "#5" << int(PinEntry::WrongPin) << -1;
    QTest::newRow("door digit first") << "51234#" << int(PinEntry::WrongPin) << -1;
    QTest::newRow("wrong PIN") << "9999#5" << int(PinEntry::WrongPin) << -1;
    QTest::newRow("PIN and more") << "12345#5" << int(PinEntry::WrongPin) << -1;
    QTest::newRow("PIN without #") << "12345" << int(PinEntry::More) << -1;
    QTest::newRow("PIN without door digit") << "1234#" << int(PinEntry::More) << -1;
    QTest::newRow("door 0 is none") << "1234#0" << int(PinEntry::NotADoor) << -1;
    QTest::newRow("# after the PIN is no door") << "1234##" << int(PinEntry::NotADoor) << -1;
    QTest::newRow("a wrong PIN stays wrong") << "1111#1234#5" << int(PinEntry::WrongPin) << -1;
    QTest::newRow("endless keys") << QString(33, '1') << int(PinEntry::WrongPin) << -1;
}

void tst_SipConfig::pinEntry()
{
    QFETCH(QString, keys);
    QFETCH(int, result);
    QFETCH(int, door);
    PinEntry entry("1234");
    PinEntry::Result last = PinEntry::More;
    for (const QChar k : keys)
        last = entry.key(k.toLatin1());
    QCOMPARE(int(last), result);
    QCOMPARE(entry.door(), door);
}

// Wrong PINs at the given times (s); the caller locked or not at the time
// asked, and calling in closed or not for everyone when they came from
// different callers with a budget of 3; the period is 600 s for both.
void tst_SipConfig::lockout_data()
{
    QTest::addColumn<QString>("wrongAt");
    QTest::addColumn<int>("askedAt");
    QTest::addColumn<bool>("locked");
    QTest::addColumn<bool>("closed");

    QTest::newRow("two wrong") << "0,10" << 20 << false << false;
    QTest::newRow("three wrong") << "0,10,20" << 30 << true << true;
    QTest::newRow("still locked, budget back") << "0,10,20" << 619 << true << false;
    QTest::newRow("lock over") << "0,10,20" << 620 << false << false;
    QTest::newRow("third after the period") << "0,300,600" << 601 << false << false;
    QTest::newRow("three within the last period") << "0,300,600,610" << 620 << true << true;
    QTest::newRow("clock stepped back") << "1000,1010,1020" << 900 << true << true;
}

void tst_SipConfig::lockout()
{
    QFETCH(QString, wrongAt);
    QFETCH(int, askedAt);
    QFETCH(bool, locked);
    QFETCH(bool, closed);
    Lockout lock(600000);
    PinBudget budget(3, 600000);
    int spent = 0;
    for (const QString &t : wrongAt.split(',')) {
        lock.wrong("sip:201@pbx", uint64_t(t.toInt()) * 1000);
        spent += budget.wrong(uint64_t(t.toInt()) * 1000);
    }
    QCOMPARE(lock.locked("sip:201@pbx", uint64_t(askedAt) * 1000), locked);
    QVERIFY(!lock.locked("sip:202@pbx", uint64_t(askedAt) * 1000));
    QCOMPARE(budget.closed(uint64_t(askedAt) * 1000), closed);
    QVERIFY(spent <= 1);    // the closing is said once
    budget.reset();
    QVERIFY(!budget.closed(uint64_t(askedAt) * 1000));
}

// An INVITE from sip:201@h to sip:door@h answering our challenge as a phone
// would, with one thing changed; what the check makes of it.
void tst_SipConfig::digest_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<int>("result");

    QTest::newRow("right") << "" << int(DigestChallenge::Good);
    QTest::newRow("wrong password") << "password=wrong" << int(DigestChallenge::Refused);
    QTest::newRow("username not From's") << "username=202" << int(DigestChallenge::Refused);
    QTest::newRow("digest for another URI") << "uri=sip:door@other" << int(DigestChallenge::Refused);
    QTest::newRow("nonce not ours") << "nonce=0000000000000001" << int(DigestChallenge::Refused);
    QTest::newRow("nonce expired") << "life=0" << int(DigestChallenge::Stale);
    QTest::newRow("another realm") << "realm=pbx" << int(DigestChallenge::Unanswered);
}

void tst_SipConfig::digest()
{
    QFETCH(QString, change);
    QFETCH(int, result);
    QHash<QString, QString> p{{"password", "secret"}, {"username", "201"}, {"uri", "sip:door@h"}, {"realm", "tmx-sip"}};
    for (const QString &kv : change.split(',', Qt::SkipEmptyParts))
        p[kv.section('=', 0, 0)] = kv.section('=', 1);
    DigestChallenge challenge(p.value("life", "30000").toULongLong());
    const std::string header = challenge.header();
    const QString nonce = p.value("nonce", QString::fromStdString(header).section("nonce=\"", 1).section('"', 0, 0));
    const uint64_t madeAt = SteadyClock::ms();
    while (p.contains("life") && SteadyClock::ms() == madeAt) {
        // the nonce's one millisecond of life
    }
    auto md5 = [](const QString &t) { return QCryptographicHash::hash(t.toUtf8(), QCryptographicHash::Md5).toHex(); };
    const QString response =
        md5(md5(p["username"] + ":" + p["realm"] + ":" + p["password"]) + ":" + nonce + ":00000001:c1:auth:"
            + md5("INVITE:" + p["uri"]));
    const QByteArray text = QStringLiteral(
        "INVITE sip:door@h SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:5099;branch=z9hG4bK1\r\n"
        "From: <sip:201@h>;tag=1\r\nTo: <sip:door@h>\r\nCall-ID: c\r\nCSeq: 1 INVITE\r\n"
        "Authorization: Digest username=\"%1\", realm=\"%2\", nonce=\"%3\", uri=\"%4\", response=\"%5\", "
        "qop=auth, nc=00000001, cnonce=\"c1\"\r\nContent-Length: 0\r\n\r\n")
                                .arg(p["username"], p["realm"], nonce, p["uri"], response)
                                .toUtf8();
    struct mbuf *mb = mbuf_alloc(text.size());
    mbuf_write_mem(mb, reinterpret_cast<const uint8_t *>(text.constData()), size_t(text.size()));
    mb->pos = 0;
    struct sip_msg *msg = nullptr;
    QCOMPARE(sip_msg_decode(&msg, mb), 0);
    const std::string password = "secret";
    const char *why = "";
    QCOMPARE(int(challenge.verify(msg, &password, why)), result);
    // A nonce opens one call; a name we do not know never gets in.
    if (result == DigestChallenge::Good) {
        QCOMPARE(int(challenge.verify(msg, &password, why)), int(DigestChallenge::Refused));
        QCOMPARE(QString(why), QString("a nonce that already opened a call"));
    }
    QVERIFY(challenge.verify(msg, nullptr, why) != DigestChallenge::Good);
    mem_deref(msg);
    mem_deref(mb);
}

void tst_SipConfig::backoff_data()
{
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("longest");
    QTest::addColumn<QString>("waits");

    QTest::newRow("registration") << 5 << 300 << "5,10,20,40,80,160,300,300";
    QTest::newRow("daemon restart") << 1 << 30 << "1,2,4,8,16,30,30";
}

void tst_SipConfig::backoff()
{
    QFETCH(int, first);
    QFETCH(int, longest);
    QFETCH(QString, waits);
    Backoff b(uint64_t(first) * 1000, uint64_t(longest) * 1000);
    QStringList got;
    for (int i = 0; i < waits.count(',') + 1; ++i)
        got << QString::number(b.next() / 1000);
    QCOMPARE(got.join(','), waits);
    b.reset();
    QCOMPARE(b.next(), uint64_t(first) * 1000);
}

// An a=crypto value is taken only as our suite with one plain key: any
// other would leave packets unauthenticated or undecryptable.
void tst_SipConfig::srtpKey_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("tag");   // -1: not taken

    const QString key = "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNk"; // "ABC...abcd"
    QTest::newRow("ours, read back") << "OURS" << 7;
    QTest::newRow("plain") << "1 AES_CM_128_HMAC_SHA1_80 inline:" + key << 1;
    QTest::newRow("with lifetime") << "12 AES_CM_128_HMAC_SHA1_80 inline:" + key + "|2^31" << 12;
    QTest::newRow("other suite") << "1 AES_CM_128_HMAC_SHA1_32 inline:" + key << -1;
    QTest::newRow("with MKI") << "1 AES_CM_128_HMAC_SHA1_80 inline:" + key + "|2^20|1:4" << -1;
    QTest::newRow("unauthenticated") << "1 AES_CM_128_HMAC_SHA1_80 inline:" + key + " UNAUTHENTICATED_SRTP" << -1;
    QTest::newRow("two keys") << "1 AES_CM_128_HMAC_SHA1_80 inline:" + key + ";inline:" + key << -1;
    QTest::newRow("key short") << "1 AES_CM_128_HMAC_SHA1_80 inline:" + key.left(36) << -1;
    QTest::newRow("key not base64") << "1 AES_CM_128_HMAC_SHA1_80 inline:" + key.left(39) + "%" << -1;
    QTest::newRow("tag not a number") << "x AES_CM_128_HMAC_SHA1_80 inline:" + key << -1;
}

void tst_SipConfig::srtpKey()
{
    QFETCH(QString, value);
    QFETCH(int, tag);
    SrtpLayer ours;
    const std::string v = value == "OURS" ? ours.attribute(7) : value.toStdString();
    SrtpLayer::Crypto c;
    QCOMPARE(SrtpLayer::parse(v.c_str(), c), tag >= 0);
    if (tag < 0)
        return;
    QCOMPARE(int(c.tag), tag);
    if (value != "OURS")
        QVERIFY(c.key[0] == 'A' && c.key[29] == 'd');
}

// The phone's stream stays in step whatever comes between its packets: a
// replay, a plain packet, and a forgery with its SSRC far behind (which the
// decryption would take for a wrap of the counter, and count, before it
// finds the forgery out).
void tst_SipConfig::srtpStream()
{
    SrtpLayer::Crypto phone;
    QVERIFY(SrtpLayer::parse("1 AES_CM_128_HMAC_SHA1_80 inline:QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNk", phone));
    SrtpLayer layer;
    QCOMPARE(layer.enable(phone.key), 0);
    struct srtp *tx = nullptr;
    QCOMPARE(srtp_alloc(&tx, SRTP_AES_CM_128_HMAC_SHA1_80, phone.key, SrtpLayer::keyLength, 0), 0);
    struct sa src;
    sa_set_str(&src, "127.0.0.1", 4000);

    // Packet seq of the phone (SSRC 0x01020304, payload 160 times seq's low
    // byte), encrypted or not; then as the layer leaves it, or "dropped".
    auto send = [&](uint16_t seq, bool encrypt, const QByteArray &raw = QByteArray()) {
        struct mbuf *mb = mbuf_alloc(256);
        if (raw.isEmpty()) {
            const uint8_t head[12] = {0x80, 0, uint8_t(seq >> 8), uint8_t(seq), 0, 0, 0, 0, 1, 2, 3, 4};
            mbuf_write_mem(mb, head, sizeof head);
            mbuf_fill(mb, uint8_t(seq), 160);
            mb->pos = 0;
            if (encrypt)
                srtp_encrypt(tx, mb);
        } else {
            mbuf_write_mem(mb, reinterpret_cast<const uint8_t *>(raw.constData()), size_t(raw.size()));
            mb->pos = 0;
        }
        const QByteArray sent(reinterpret_cast<const char *>(mb->buf), int(mb->end));
        const bool kept = layer.unprotect(&src, mb);
        const QByteArray out = kept ? QByteArray(reinterpret_cast<const char *>(mbuf_buf(mb)), int(mbuf_get_left(mb)))
                                    : QByteArray("dropped");
        mem_deref(mb);
        return qMakePair(sent, out);
    };
    QByteArray replay;
    for (uint16_t seq = 40000; seq < 40005; ++seq) {
        const auto p = send(seq, true);
        QCOMPARE(p.second.size(), 172);
        QCOMPARE(uint8_t(p.second[100]), uint8_t(seq));
        replay = p.first;
    }
    QCOMPARE(send(0, false, replay).second, QByteArray("dropped"));
    QCOMPARE(send(40005, false).second, QByteArray("dropped"));
    QCOMPARE(send(100, false).second, QByteArray("dropped"));
    const QByteArray last = send(40006, true).second;
    QCOMPARE(last.size(), 172);
    QCOMPARE(uint8_t(last[100]), uint8_t(40006 & 0xff));
    QCOMPARE(layer.dropped(), 3u);
    mem_deref(tx);
}

QTEST_MAIN(tst_SipConfig)
#include "tst_sipconfig.moc"
