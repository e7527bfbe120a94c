#ifndef ABOUTBOX_H
#define ABOUTBOX_H

#include <QMessageBox>

// "About Kuvel Counter": the program's and its libraries' versions, and the counter's when one
// is connected. The window gathers what the counter told; the box asks the device nothing.
class AboutBox : public QMessageBox
{
    Q_OBJECT
public:
    explicit AboutBox(QWidget *parent = nullptr);

    // The connected counter, shown instead of "No counter connected.".
    void setCounter(const QString &port, const QString &type, const QString &firmware,
                    const QString &identifierHex);

private:
    QString m_versions;
};

#endif // ABOUTBOX_H
