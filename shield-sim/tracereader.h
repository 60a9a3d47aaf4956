#ifndef TRACEREADER_H
#define TRACEREADER_H

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QList>
#include <QString>

// One line of shield-sim's --trace file: "<ns> <kind> key=value ...", each
// value percent-encoded.
struct TraceLine
{
    qint64 ns = 0;
    QString kind;
    QHash<QString, QString> fields;
    QString raw;

    QString field(const QString &key) const { return fields.value(key); }
    // Decimal or 0x hexadecimal; 0 when missing.
    qint64 number(const QString &key) const { return fields.value(key).toLongLong(nullptr, 0); }
    bool has(const QString &key) const { return fields.contains(key); }

    static TraceLine parse(const QByteArray &text);
};

// Reads a trace file while the simulator appends to it: each update() takes
// the lines completed since the last one.
class TraceReader
{
public:
    TraceReader() = default;
    explicit TraceReader(const QString &path) { open(path); }

    void open(const QString &path);
    // Reads what was appended; returns how many new lines there are.
    int update();

    const QList<TraceLine> &lines() const { return all; }
    QList<TraceLine> of(const QString &kind) const;
    int count(const QString &kind) const;
    // The last n lines as written, for failure messages.
    QString tail(int n) const;

private:
    QFile file;
    QByteArray rest;
    QList<TraceLine> all;
};

#endif
