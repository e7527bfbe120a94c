#include "datacontext.h"

#include "kuvelversion.h"
#include "levelproposal.h"

#include <QStringList>

QString DataContext::program(const QString &name)
{
    return name + QStringLiteral(" " KUVEL_VERSION);
}

QString DataContext::identifierText(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex().toUpper());
}

DataContext::Entries DataContext::common(const QString &program, const QDateTime &when,
                                         const QString &port, const QString &deviceType,
                                         const QString &identifierHex, const QString &firmware,
                                         int channel, double timeConstSeconds)
{
    return {{QStringLiteral("program"), program},
            {QStringLiteral("date"), when.toUTC().toString(Qt::ISODate)},
            {QStringLiteral("port"), port},
            {QStringLiteral("device type"), deviceType},
            {QStringLiteral("identifier"), identifierHex},
            {QStringLiteral("firmware"), firmware},
            {QStringLiteral("channel"), QString::number(channel)},
            {QStringLiteral("time constant"), QString::number(timeConstSeconds, 'g', 6)}};
}

DataContext::Entries DataContext::scanRange(quint32 start, quint32 stop, quint32 step)
{
    return {{QStringLiteral("start"), QString::number(start)},
            {QStringLiteral("stop"), QString::number(stop)},
            {QStringLiteral("step"), QString::number(step)}};
}

DataContext::Entries DataContext::proposals(const QVector<LevelProposal> &proposals)
{
    return {{QStringLiteral("proposed levels"), LevelProposal::listText(proposals)}};
}

DataContext::Entries DataContext::levels(const QVector<int> &levels, const QString &key)
{
    QStringList texts;
    for (int level : levels)
        texts << (level < 0 ? QStringLiteral("unknown") : QString::number(level));
    return {{key, texts.join(QStringLiteral(", "))}};
}

DataContext::Entries DataContext::gap(const QDateTime &when, const QString &what)
{
    return {{QStringLiteral("gap"), when.toUTC().toString(Qt::ISODate) + QLatin1Char(' ') + what}};
}

QByteArray DataContext::lines(const Entries &entries)
{
    QByteArray lines;
    for (const auto &entry : entries)
        lines
            += "# " + oneLine(entry.first).toUtf8() + ": " + oneLine(entry.second).toUtf8() + '\n';
    return lines;
}

QString DataContext::oneLine(QString text)
{
    for (QChar &c : text) {
        // Readers such as Python's splitlines() also break a line at U+2028 and U+2029.
        const QChar::Category category = c.category();
        if (category == QChar::Other_Control || category == QChar::Separator_Line
            || category == QChar::Separator_Paragraph)
            c = QLatin1Char(' ');
    }
    return text;
}
