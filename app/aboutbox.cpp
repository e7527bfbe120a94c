#include "aboutbox.h"

#include <qcustomplot.h>

AboutBox::AboutBox(QWidget *parent)
    : QMessageBox(QMessageBox::NoIcon, tr("About Kuvel Counter"), QString(), QMessageBox::Ok,
                  parent)
    , m_versions(tr("Kuvel Counter %1\nThe operator program of the photon-number-resolving "
                    "counter.\n\nQt %2\nQCustomPlot %3")
                     .arg(QStringLiteral(KUVEL_VERSION), QString::fromLatin1(qVersion()),
                          QStringLiteral(QCUSTOMPLOT_VERSION_STR)))
{
    setObjectName(QStringLiteral("aboutBox"));
    setText(m_versions + tr("\n\nNo counter connected."));
    if (parent && !parent->windowIcon().isNull())
        setIconPixmap(parent->windowIcon().pixmap(64));
}

void AboutBox::setCounter(const QString &port, const QString &type, const QString &firmware,
                          const QString &identifierHex)
{
    setText(m_versions
            + tr("\n\nCounter on %1\nType: %2\nFirmware: %3\nIdentifier: %4")
                  .arg(port, type, firmware, identifierHex));
}
