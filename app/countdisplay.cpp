#include "countdisplay.h"

#include <QLabel>
#include <QLayout>
#include <QTimer>

CountDisplay::CountDisplay(const std::array<QLabel *, 4> &labels, QObject *parent)
    : QObject(parent), m_labels(labels), m_timer(new QTimer(this))
{
    setObjectName(QStringLiteral("countDisplay"));
    for (int i = 0; i < 4; ++i) {
        QLabel *label = m_labels[i];
        // A label of fixed size asks for no new layout when its text changes. Its size is
        // that of its longest text, a full 32-bit count in the font's widest digit.
        const QFontMetrics metrics = label->fontMetrics();
        QChar widest = QLatin1Char('0');
        for (char digit = '1'; digit <= '9'; ++digit) {
            if (metrics.horizontalAdvance(QLatin1Char(digit)) > metrics.horizontalAdvance(widest))
                widest = QLatin1Char(digit);
        }
        const QString text = label->text();
        label->setText(QStringLiteral("%1: %2").arg(i + 1).arg(QString(10, widest)));
        label->setFixedSize(label->sizeHint());
        label->setText(text);
        // At the left of its cell, where it stood when it took the cell's width.
        if (QWidget *parent = label->parentWidget()) {
            for (QLayout *layout : parent->findChildren<QLayout *>()) {
                if (layout->setAlignment(label, Qt::AlignLeft | Qt::AlignVCenter))
                    break;
            }
        }
    }
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &CountDisplay::showNow);
}

void CountDisplay::show(const quint32 counts[4])
{
    std::copy(counts, counts + 4, m_counts);
    if (m_timer->isActive())
        return;
    const qint64 since = m_sinceShown.isValid() ? m_sinceShown.elapsed() : m_intervalMs;
    if (since >= m_intervalMs)
        showNow();
    else
        m_timer->start(int(m_intervalMs - since));
}

void CountDisplay::showNow()
{
    m_sinceShown.start();
    for (int i = 0; i < 4; ++i)
        m_labels[i]->setText(QStringLiteral("%1: %2").arg(i + 1).arg(m_counts[i]));
}
