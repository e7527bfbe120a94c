#ifndef SERIALPORT_H
#define SERIALPORT_H

#include <QDialog>
#include <QStringList>

#include <functional>

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

    // Where Refresh looks for ports again; availablePortNames() unless told otherwise.
    void setPortSource(std::function<QStringList()> source) { m_portSource = std::move(source); }

private:
    // Lists `portNames` and selects `selected` among them, on top when it is not listed.
    void listPorts(const QStringList &portNames, const QString &selected);
    // Lists the ports present again, keeping the operator's choice.
    void refresh();

    std::function<QStringList()> m_portSource = &SerialPort::availablePortNames;
    Ui::SerialPort *ui;
};

#endif // SERIALPORT_H
