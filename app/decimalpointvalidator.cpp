#include "decimalpointvalidator.h"

#include <QDoubleSpinBox>
#include <QLineEdit>

DecimalPointValidator::DecimalPointValidator(QDoubleSpinBox *spinBox)
    : QValidator(spinBox), m_spinBox(spinBox)
{
}

void DecimalPointValidator::install(QDoubleSpinBox *spinBox)
{
    // The spin box keeps its line edit to itself; it is its only QLineEdit child.
    if (auto *edit = spinBox->findChild<QLineEdit *>())
        edit->setValidator(new DecimalPointValidator(spinBox));
}

QValidator::State DecimalPointValidator::validate(QString &input, int &pos) const
{
    // The line edit takes the text as changed here, so the spin box only ever sees its own
    // decimal point.
    const QChar point = m_spinBox->locale().decimalPoint();
    for (QChar &c : input) {
        if (c == QLatin1Char('.') || c == QLatin1Char(','))
            c = point;
    }
    return m_spinBox->validate(input, pos);
}

void DecimalPointValidator::fixup(QString &input) const
{
    m_spinBox->fixup(input);
}
