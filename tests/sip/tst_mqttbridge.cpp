// tmx-sip's MQTT bridge against a real mosquitto broker that the test runs on
// 127.0.0.1 (in a network namespace of its own, see CMakeLists.txt), watched
// and driven with mosquitto_sub and mosquitto_pub. The bridge runs in libre's
// loop as in tmx-sip; only the door line is a stand-in.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <re.h>
#define DEBUG_MODULE "tst_mqttbridge"
#define DEBUG_LEVEL 0
#include <re_dbg.h>

#include <functional>
#include <pwd.h>
#include <unistd.h>

#include "stdoutcapture.h"
#include "config.h"
#include "mqttbridge.h"
#include "mqttwatcher.h"

namespace {

// The door line: what the bridge asked of it.
struct Line : DoorLineCommands
{
    QStringList calls;
    void openUnit(int unit) override { calls << QString("open_unit %1").arg(unit); }
    void openCalling() override { calls << "open"; }
    void endCall() override { calls << "end_call"; }
    void setRingToOpen(bool on) override { calls << QString("ring_to_open %1").arg(on); }
};

} // namespace

class tst_MqttBridge : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void published();
    void command_data();
    void command();
    void wrongPassword();
    void reconnect();
    void withdrawal();
    void tls_data();
    void tls();

private:
    bool startBroker();
    void stopBroker();
    Config config(const QString &doorUnits = "1 2");
    MqttWatcher *watch(const QString &filter = "#");
    void publish(const QString &topic, const QByteArray &payload, bool retain = false);
    bool spin(const std::function<bool()> &done, int ms = 30000);

    QTemporaryDir dir;
    quint16 port = 0;
    quint16 tlsPort = 0;        // mqtts, with a certificate for 127.0.0.1 from the CA ca.pem
    QProcess broker;
    std::vector<std::unique_ptr<MqttWatcher>> watchers;
    Line line;
    std::unique_ptr<MqttBridge> bridge;
};

static const QString T = "intercom/test";

bool tst_MqttBridge::startBroker()
{
    return startMqttBroker(broker, dir.filePath("broker.conf"), port);
}

void tst_MqttBridge::stopBroker()
{
    broker.kill();
    broker.waitForFinished();
}

void tst_MqttBridge::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY(libre_init() == 0);
    dbg_init(DBG_WARNING, DBG_NONE);    // as tmx-sip: libre's warnings show
    QTcpServer free, freeTls;
    QVERIFY(free.listen(QHostAddress::LocalHost, 0) && freeTls.listen(QHostAddress::LocalHost, 0));
    port = free.serverPort();
    tlsPort = freeTls.serverPort();
    free.close();
    freeTls.close();
    QCOMPARE(QProcess::execute("sh", {TMX_MAKE_CERTIFICATES, dir.path()}), 0);
    QProcess openssl;
    openssl.setWorkingDirectory(dir.path());
    openssl.start("sh", {"-c", "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout broker.key "
                               "-out broker.csr -subj /CN=127.0.0.1 2>/dev/null && openssl x509 -req -in broker.csr "
                               "-CA ca.pem -CAkey ca.key -CAcreateserial -out broker.crt -days 2 2>/dev/null"});
    QVERIFY(openssl.waitForFinished(60000) && openssl.exitCode() == 0);
    const QString passwd = dir.filePath("passwd");
    QCOMPARE(QProcess::execute("mosquitto_passwd", {"-c", "-b", passwd, "tmx", "secret"}), 0);
    QCOMPARE(QProcess::execute("mosquitto_passwd", {"-b", passwd, "watcher", "watch"}), 0);
    QFile conf(dir.filePath("broker.conf"));
    QVERIFY(conf.open(QIODevice::WriteOnly));
    conf.write(QString("listener %1 127.0.0.1\nallow_anonymous false\npassword_file %2\npersistence false\n"
                       "log_dest stderr\nlog_type error\nuser %3\n"
                       "listener %4 127.0.0.1\ncafile %5/ca.pem\ncertfile %5/broker.crt\nkeyfile %5/broker.key\n")
                   .arg(port).arg(passwd, getpwuid(geteuid())->pw_name).arg(tlsPort).arg(dir.path()).toUtf8());
    conf.close();
    QVERIFY(startBroker());

    // A command someone left retained must not act when we connect; a
    // button of an earlier configuration is withdrawn.
    publish(T + "/cmd/open_unit", "1", true);
    const QString stale = "homeassistant/button/intercom_test/open_door_7/config";
    publish(stale, "{}", true);
    bridge = std::make_unique<MqttBridge>(config(), line);
    // The state known before the broker is reached is published on connect.
    bridge->lineChanged(DoorLineListener::State::Idle, -1, -1);
    bridge->daemonChanged(true);
    bridge->ringToOpenChanged(false);
    MqttWatcher *w = watch("#");
    QCOMPARE(bridge->start(), 0);
    // The last of the state is in: all of it is retained at the broker.
    QVERIFY(spin([&] { return !w->payload(T + "/ring_to_open", '0').isNull() && w->lines.contains(stale + " 0 "); }));
}

void tst_MqttBridge::cleanupTestCase()
{
    bridge.reset();
    for (auto &w : watchers)
        w->process.kill(), w->process.waitForFinished();
    stopBroker();
    libre_close();
}

Config tst_MqttBridge::config(const QString &doorUnits)
{
    Config c;
    std::string error;
    const QString text = QString("mqtt_broker mqtt://127.0.0.1:%1\nmqtt_user tmx\nmqtt_password secret\n"
                                 "mqtt_topic %2\nmqtt_door_units %3\napartment 12 sip:a@127.0.0.1\nregistrar sip:127.0.0.1\npassword p\n")
                             .arg(port).arg(T, doorUnits);
    if (!c.parse(text.toStdString(), "test", error))
        qFatal("%s", error.c_str());
    return c;
}

// A subscriber; ready once it has seen a probe of its own.
MqttWatcher *tst_MqttBridge::watch(const QString &filter)
{
    watchers.push_back(std::make_unique<MqttWatcher>());
    MqttWatcher *w = watchers.back().get();
    w->start(port, filter, {"-u", "watcher", "-P", "watch"});
    const QString probe = QString("probe%1").arg(watchers.size());
    spin([&] {
        publish("probe", probe.toUtf8());
        return w->lines.contains("probe 0 " + probe);
    });
    return w;
}

// QoS 1: once mosquitto_pub returns, the broker has passed it on.
void tst_MqttBridge::publish(const QString &topic, const QByteArray &payload, bool retain)
{
    QVERIFY(mqttPublish(port, {"-u", "watcher", "-P", "watch"}, topic, payload, retain));
}

// Runs libre's loop (and Qt's, for the watchers) until done, or false after ms.
bool tst_MqttBridge::spin(const std::function<bool()> &done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    struct tmr stop;
    tmr_init(&stop);
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        tmr_start(&stop, 20, [](void *) { re_cancel(); }, nullptr);
        re_main(nullptr);
        QCoreApplication::processEvents();
        for (auto &w : watchers)
            w->read();
    }
    tmr_cancel(&stop);
    return true;
}

// On connect: availability, the state and the discovery, all retained; an
// event as it happens; a call record whose text needs escaping.
void tst_MqttBridge::published()
{
    MqttWatcher *w = watch("#");
    QVERIFY(spin([&] { return !w->payload(T + "/daemon", '1').isNull(); }));
    QCOMPARE(w->payload(T + "/availability", '1'), QString("online"));
    QCOMPARE(w->payload(T + "/line", '1'), QString("idle"));
    QCOMPARE(w->payload(T + "/ring_to_open", '1'), QString("OFF"));

    // Home Assistant's required keys per entity type, and all under our topic.
    const QMap<QString, QStringList> required{{"event", {"state_topic", "event_types"}},
                                              {"button", {"command_topic"}},
                                              {"switch", {"command_topic"}},
                                              {"sensor", {"state_topic"}},
                                              {"binary_sensor", {"state_topic"}}};
    QMap<QString, int> count;
    QStringList eventTypes;
    for (const QString &l : w->lines) {
        if (!l.startsWith("homeassistant/"))
            continue;
        const QString component = l.section('/', 1, 1);
        QVERIFY2(l.section(' ', 1, 1) == "1", qPrintable(l));
        QJsonParseError error;
        const QJsonObject o = QJsonDocument::fromJson(l.section(' ', 2).toUtf8(), &error).object();
        QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(l));
        QVERIFY2(required.contains(component), qPrintable(component));
        for (const QString &key : required[component] + QStringList{"unique_id", "availability_topic"})
            QVERIFY2(o.contains(key), qPrintable(l + ": no " + key));
        QCOMPARE(o["availability_topic"].toString(), T + "/availability");
        QCOMPARE(o["device"].toObject()["identifiers"].toArray().first().toString(), QString("intercom_test"));
        for (const char *topic : {"state_topic", "command_topic"})
            QVERIFY(!o.contains(topic) || o[topic].toString().startsWith(T + "/"));
        if (component == "event")
            for (const QJsonValue &v : o["event_types"].toArray())
                eventTypes << v.toString();
        ++count[component];
    }
    QCOMPARE(count, (QMap<QString, int>{{"event", 1}, {"button", 4}, {"switch", 1}, {"sensor", 2}, {"binary_sensor", 2}}));

    bridge->ring(12, 3);
    QVERIFY(spin([&] { return !w->payload(T + "/event/ring", '0').isNull(); }));
    const QJsonObject ring = QJsonDocument::fromJson(w->payload(T + "/event/ring", '0').toUtf8()).object();
    QVERIFY(eventTypes.contains(ring["event_type"].toString()));
    QCOMPARE(ring["apartment"].toInt(), 12);
    QCOMPARE(ring["door"].toInt(), 3);

    CallRecord call{12, 3, 1700000000, 1700000042, "sip:\"a\"\\b@h", true};
    bridge->callEnded(call);
    QVERIFY(spin([&] { return !w->payload(T + "/last_call", '0').isNull(); }));
    const QJsonObject last = QJsonDocument::fromJson(w->payload(T + "/last_call", '0').toUtf8()).object();
    QCOMPARE(last["answered_by"].toString(), QString::fromStdString(call.answeredBy));
    QCOMPARE(last["began"].toString(), QString("2023-11-14T22:13:20Z"));
    QCOMPARE(last["ended"].toString(), QString("2023-11-14T22:14:02Z"));
    QCOMPARE(last["door_opened"].toBool(), true);

    // The retained command of initTestCase reached the line with nothing.
    QVERIFY(line.calls.isEmpty());
    publish(T + "/cmd/open_unit", QByteArray(), true);
}

void tst_MqttBridge::command_data()
{
    QTest::addColumn<QString>("topic");     // under ours unless it begins with '/'
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("call");      // what the line is asked; empty: nothing

    QTest::newRow("open a door unit") << "cmd/open_unit" << QByteArray("2") << "open_unit 2";
    QTest::newRow("a unit not in mqtt_door_units") << "cmd/open_unit" << QByteArray("3") << "";
    QTest::newRow("a unit and a line end") << "cmd/open_unit" << QByteArray("2\n") << "";
    QTest::newRow("open the calling door") << "cmd/open" << QByteArray("PRESS") << "open";
    QTest::newRow("open, payload not PRESS") << "cmd/open" << QByteArray("press") << "";
    QTest::newRow("open, a long payload") << "cmd/open" << QByteArray("PRESS") + QByteArray(100000, ' ') << "";
    QTest::newRow("end the call") << "cmd/end_call" << QByteArray("PRESS") << "end_call";
    QTest::newRow("ring-to-open on") << "cmd/ring_to_open" << QByteArray("ON") << "ring_to_open 1";
    QTest::newRow("ring-to-open, not ON or OFF") << "cmd/ring_to_open" << QByteArray("on") << "";
    QTest::newRow("another adapter's topic") << "/intercom/other/cmd/open_unit" << QByteArray("2") << "";
    QTest::newRow("below a command topic") << "cmd/open_unit/x" << QByteArray("2") << "";
    QTest::newRow("no such command") << "cmd/open_all" << QByteArray("PRESS") << "";
}

// Each command, then ring-to-open OFF as a marker: once the marker is in,
// the command before it has been taken or not.
void tst_MqttBridge::command()
{
    QFETCH(QString, topic);
    QFETCH(QByteArray, payload);
    QFETCH(QString, call);
    line.calls.clear();
    StdoutCapture err(STDERR_FILENO);
    publish(topic.startsWith('/') ? topic.mid(1) : T + "/" + topic, payload);
    publish(T + "/cmd/ring_to_open", "OFF");
    QVERIFY(spin([&] { return line.calls.contains("ring_to_open 0"); }));
    const QStringList want = (call.isEmpty() ? QStringList() : QStringList{call}) << "ring_to_open 0";
    QCOMPARE(line.calls, want);
}

// A refused password: one line, and no connection.
void tst_MqttBridge::wrongPassword()
{
    Line other;
    Config c = config();
    c.mqtt.password = "wrong";
    c.mqtt.topic = "intercom/wrong";
    StdoutCapture err(STDERR_FILENO);
    {
        MqttBridge wrong(c, other);
        QCOMPARE(wrong.start(), 0);
        QVERIFY(spin([&] { return err.text().contains("refused"); }));
        QVERIFY(!wrong.isConnected());
    }
    err.stop();
    const QStringList lines = err.lines();
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines[0].contains("refused: ") && lines[0].contains("trying again in 1 s")
                 && !lines[0].contains("wrong"), qPrintable(lines[0]));
}

// The broker gone and back: the state is published again, including what
// changed meanwhile; a ring from the outage is not.
void tst_MqttBridge::reconnect()
{
    StdoutCapture err(STDERR_FILENO);
    stopBroker();
    QVERIFY(spin([&] { return !bridge->isConnected(); }));
    bridge->ring(12, 1);
    bridge->lineChanged(DoorLineListener::State::Ringing, 12, 1);
    QVERIFY(startBroker());
    MqttWatcher *w = watch(T + "/#");
    QVERIFY(spin([&] { return bridge->isConnected(); }));
    // Live, or retained when the bridge was back before the watcher.
    QVERIFY(spin([&] { return !w->payload(T + "/line", '?').isNull(); }));
    QCOMPARE(w->payload(T + "/line", '?'), QString("ringing"));
    QCOMPARE(w->payload(T + "/availability", '?'), QString("online"));
    bridge->ring(12, 2);
    QVERIFY(spin([&] { return !w->payload(T + "/event/ring", '0').isNull(); }));
    QCOMPARE(QJsonDocument::fromJson(w->payload(T + "/event/ring", '0').toUtf8()).object()["door"].toInt(), 2);
    QVERIFY2(err.text().contains("trying again in 1 s"), err.text().constData());
}

// What a new configuration removes is withdrawn; what it keeps stays.
void tst_MqttBridge::withdrawal()
{
    MqttWatcher *w = watch("homeassistant/#");
    const QString removed = "homeassistant/button/intercom_test/open_door_2/config";
    QVERIFY(spin([&] { return !w->payload(removed, '1').isNull(); }));
    QCOMPARE(bridge->reconfigure(config("1")), 0);
    QVERIFY(spin([&] { return w->lines.contains(removed + " 0 "); }));
    MqttWatcher *after = watch("homeassistant/#");
    QVERIFY(!after->payload("homeassistant/button/intercom_test/open_door_1/config", '1').isNull());
    QVERIFY(after->payload(removed, '1').isNull());
    // Nor does the unit it removed open any more.
    line.calls.clear();
    publish(T + "/cmd/open_unit", "2");
    publish(T + "/cmd/ring_to_open", "OFF");
    QVERIFY(spin([&] { return line.calls.contains("ring_to_open 0"); }));
    QCOMPARE(line.calls, QStringList{"ring_to_open 0"});
}

void tst_MqttBridge::tls_data()
{
    QTest::addColumn<QString>("ca");
    QTest::addColumn<bool>("connects");
    QTest::newRow("the broker's CA") << "ca.pem" << true;
    QTest::newRow("another CA") << "other-ca.pem" << false;
}

// mqtts: the handshake in our loop, and the broker's certificate checked.
void tst_MqttBridge::tls()
{
    QFETCH(QString, ca);
    QFETCH(bool, connects);
    Config c = config();
    c.mqtt.broker = "mqtts://127.0.0.1:" + std::to_string(tlsPort);
    c.mqtt.port = tlsPort;
    c.mqtt.tls = true;
    c.mqtt.ca = dir.filePath(ca).toStdString();
    c.mqtt.topic = "intercom/tls";
    Line other;
    StdoutCapture err(STDERR_FILENO);
    MqttBridge bridge(c, other);
    QCOMPARE(bridge.start(), 0);
    if (connects) {
        QVERIFY(spin([&] { return bridge.isConnected(); }));
    } else {
        QVERIFY(spin([&] { return err.text().contains("TLS failed"); }));
        QVERIFY(!bridge.isConnected());
    }
}

QTEST_GUILESS_MAIN(tst_MqttBridge)
#include "tst_mqttbridge.moc"
