#pragma once

// A mosquitto broker run by a test, and mosquitto_sub / mosquitto_pub
// around it (Debian's mosquitto and mosquitto-clients).

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QStringList>
#include <QTcpSocket>

#include <functional>

// A mosquitto_sub that prints "topic retained payload" lines.
struct MqttWatcher
{
    QProcess process;
    QStringList lines;
    QByteArray partial;
    ~MqttWatcher()
    {
        // Ended before the lines go: its last output would be read into them.
        process.disconnect();
        process.kill();
        process.waitForFinished(5000);
    }
    void read()
    {
        partial += process.readAllStandardOutput();
        int end;
        while ((end = partial.indexOf('\n')) >= 0) {
            lines << QString::fromUtf8(partial.left(end));
            partial.remove(0, end + 1);
        }
    }
    // The payload of the first line on topic with the retained flag given
    // ('?': either); null when none.
    QString payload(const QString &topic, char retained) const
    {
        for (const QString &l : lines)
            if (l.startsWith(topic + " ") && (retained == '?' || l[topic.size() + 1] == retained)
                && l.size() > topic.size() + 2)
                return l.mid(topic.size() + 3);
        return QString();
    }
    // Starts mosquitto_sub on filter (and on "probe", to tell when it is
    // ready) with the credentials given, if any, and further options.
    void start(quint16 port, const QString &filter, const QStringList &credentials = QStringList(),
               const QStringList &options = QStringList())
    {
        QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] { read(); });
        process.start("mosquitto_sub", QStringList{"-h", "127.0.0.1", "-p", QString::number(port)} + credentials
                                           + options + QStringList{"-t", filter, "-t", "probe", "-F", "%t %r %p"});
    }
};

// Starts /usr/sbin/mosquitto with the configuration file conf; true once it
// takes connections on port (within timeoutMs).
inline bool startMqttBroker(QProcess &broker, const QString &conf, quint16 port, int timeoutMs = 30000)
{
    broker.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    broker.start("/usr/sbin/mosquitto", {"-c", conf});
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        QTcpSocket probe;
        probe.connectToHost("127.0.0.1", port);
        if (probe.waitForConnected(200))
            return true;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return false;
}

// Publishes payload on topic at QoS 1: once it returns true, the broker
// has passed it on.
inline bool mqttPublish(quint16 port, const QStringList &credentials, const QString &topic, const QByteArray &payload,
                        bool retain = false)
{
    QStringList args = QStringList{"-h", "127.0.0.1", "-p", QString::number(port)} + credentials
        + QStringList{"-q", "1", "-t", topic, payload.isEmpty() ? "-n" : "-s"};
    if (retain)
        args << "-r";
    QProcess pub;
    pub.start("mosquitto_pub", args);
    pub.write(payload);
    pub.closeWriteChannel();
    return pub.waitForFinished(30000) && pub.exitStatus() == QProcess::NormalExit && pub.exitCode() == 0;
}
