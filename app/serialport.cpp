#include "serialport.h"
#include "ui_serialport.h"

#include <QPushButton>
#include <QSerialPortInfo>

namespace {

// A short name stands for the device file of that name under /dev, as QSerialPort opens it.
bool isSamePort(const QString &listedName, const QString &requested)
{
    if (listedName == requested)
        return true;
    return !listedName.startsWith(QLatin1Char('/'))
        && QLatin1String("/dev/") + listedName == requested;
}

} // namespace

SerialPort::SerialPort(QWidget *parent) : SerialPort(availablePortNames(), QString(), parent) { }

SerialPort::SerialPort(const QStringList &portNames, const QString &requestedPort, QWidget *parent)
    : QDialog(parent), ui(new Ui::SerialPort)
{
    ui->setupUi(this);
    setWindowTitle(tr("Choose your device..."));

    ui->cbAvailableSerialPorts->setEditable(true);
    ui->cbAvailableSerialPorts->setToolTip(
        tr("The serial port of the counter: choose one or type a name or a path"));
    listPorts(portNames, requestedPort);

    // A counter plugged in after the dialog came up is listed without a restart.
    QPushButton *refresh = ui->buttonBox->addButton(tr("Refresh"), QDialogButtonBox::ResetRole);
    refresh->setObjectName(QStringLiteral("pbRefresh"));
    refresh->setToolTip(tr("Looks for serial ports again"));
    connect(refresh, &QPushButton::clicked, this, &SerialPort::refresh);
}

void SerialPort::listPorts(const QStringList &portNames, const QString &selected)
{
    ui->cbAvailableSerialPorts->clear();
    ui->cbAvailableSerialPorts->addItems(portNames);
    if (selected.isEmpty())
        return;
    int index = -1;
    for (int i = 0; i < portNames.size() && index < 0; ++i) {
        if (isSamePort(portNames.at(i), selected))
            index = i;
    }
    if (index < 0) {
        ui->cbAvailableSerialPorts->insertItem(0, selected);
        index = 0;
    }
    ui->cbAvailableSerialPorts->setCurrentIndex(index);
}

void SerialPort::refresh()
{
    listPorts(m_portSource(), portName());
}

SerialPort::~SerialPort()
{
    delete ui;
}

QString SerialPort::portName() const
{
    return ui->cbAvailableSerialPorts->currentText();
}

QStringList SerialPort::availablePortNames()
{
    QStringList names;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports)
        names.append(info.portName());
    return names;
}
