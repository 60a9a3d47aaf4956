#include "tracereader.h"

#include <QStringList>

TraceLine TraceLine::parse(const QByteArray &text)
{
    TraceLine line;
    line.raw = QString::fromUtf8(text);
    const QList<QByteArray> words = text.split(' ');
    line.ns = words.value(0).toLongLong();
    line.kind = QString::fromUtf8(words.value(1));
    for (int i = 2; i < words.size(); ++i) {
        const int eq = words.at(i).indexOf('=');
        if (eq > 0)
            line.fields.insert(QString::fromUtf8(words.at(i).left(eq)),
                               QString::fromUtf8(QByteArray::fromPercentEncoding(words.at(i).mid(eq + 1))));
    }
    return line;
}

void TraceReader::open(const QString &path)
{
    file.close();
    file.setFileName(path);
    rest.clear();
    all.clear();
}

int TraceReader::update()
{
    if (!file.isOpen() && (file.fileName().isEmpty() || !file.open(QIODevice::ReadOnly)))
        return 0;
    rest += file.readAll();
    int added = 0;
    int end;
    while ((end = rest.indexOf('\n')) >= 0) {
        all.append(TraceLine::parse(rest.left(end)));
        rest.remove(0, end + 1);
        ++added;
    }
    return added;
}

QList<TraceLine> TraceReader::of(const QString &kind) const
{
    QList<TraceLine> found;
    for (const TraceLine &line : all) {
        if (line.kind == kind)
            found.append(line);
    }
    return found;
}

int TraceReader::count(const QString &kind) const
{
    int n = 0;
    for (const TraceLine &line : all)
        n += line.kind == kind;
    return n;
}

QString TraceReader::tail(int n) const
{
    QStringList text;
    for (int i = qMax(0, all.size() - n); i < all.size(); ++i)
        text << all.at(i).raw;
    return text.join(QLatin1Char('\n'));
}
