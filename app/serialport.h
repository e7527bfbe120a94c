#ifndef SERIALPORT_H
#define SERIALPORT_H

#include <QDialog>
#include <QStringList>

namespace Ui {
class SerialPort;
}

// The port choice at start: one entry per serial port present, by its short system name.
// The list is editable, so the operator may also type a name or a device path.
class SerialPort : public QDialog
{
    Q_OBJECT
public:
    // Lists the ports the system reports.
    explicit SerialPort(QWidget *parent = nullptr);
    // Lists `portNames` in the given order. A non-empty `requestedPort` (a system name or a
    // path) is preselected, and put at the top when it is not among them.
    SerialPort(const QStringList &portNames, const QString &requestedPort,
               QWidget *parent = nullptr);
    ~SerialPort() override;

    // The text the operator left in the list; empty when there is none.
    QString portName() const;

    // The short system names of the ports present, in the order the system gives them.
    static QStringList availablePortNames();

private:
    Ui::SerialPort *ui;
};

#endif // SERIALPORT_H
