#ifndef DECIMALPOINTVALIDATOR_H
#define DECIMALPOINTVALIDATOR_H

#include <QValidator>

class QDoubleSpinBox;

// Makes a double spin box take both "." and "," as its decimal separator, whatever the locale.
// Left to the locale, the other one is its digit grouping, and "0,5" under the C locale or
// "0.5" under a German one is read as 5. A number of seconds is never grouped, so both
// characters become the locale's decimal point before the spin box judges the text.
class DecimalPointValidator : public QValidator
{
    Q_OBJECT
public:
    // Replaces the validator of the spin box's line edit; the spin box owns this one.
    static void install(QDoubleSpinBox *spinBox);

    State validate(QString &input, int &pos) const override;
    void fixup(QString &input) const override;

private:
    explicit DecimalPointValidator(QDoubleSpinBox *spinBox);

    QDoubleSpinBox *m_spinBox;
};

#endif // DECIMALPOINTVALIDATOR_H
