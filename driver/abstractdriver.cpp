#include "abstractdriver.h"

#include "cuiointerface.h"
#include "driverproperty.h"

#include <QCoreApplication>

AbstractDriver::AbstractDriver(QObject *parent) : cuIODeviceImpl(parent), m_requests(this) { }

AbstractDriver::~AbstractDriver() = default;

void AbstractDriver::sendMsg(quint8 command, const QByteArray &data)
{
    sendRequest(command, data, m_requests.newOperation(), 0);
}

void AbstractDriver::sendRequest(quint8 command, const QByteArray &data, quint64 operation,
                                 int answerSize)
{
    // Bytes the link has already read from the line wait in the event queue (the link takes
    // them in through a queued call), and so may the closing of a line that was lost. Taken in
    // now, before the request is armed, a frame that came before the request was sent cannot
    // pass for its answer, and a line closed meanwhile is opened and its device confirmed
    // below rather than by the send itself.
    cuIOInterface *link = iOInterface();
    if (link) {
        if (operation != m_lastOperation)
            link->startOperation();
        QCoreApplication::sendPostedEvents(link, QEvent::MetaCall);
    }
    m_lastOperation = operation;
    bool ready = prepareLine(command, answerSize);
    if (link) {
        QCoreApplication::sendPostedEvents(link, QEvent::MetaCall);
        // Lost again while the device was confirmed: the next attempt opens and confirms anew.
        ready = ready && link->isOpen();
    }
    m_requests.startAttempt(command, operation, answerSize);
    if (!ready) {
        // Nothing to wait for when the device is refused: the request fails at once.
        if (isDeviceRefused())
            m_requests.failAttempt();
        return;
    }
    m_requests.addOwed(command, operation);
    if (link)
        link->setNextIsRead(isReadCode(command));
    cuIODeviceImpl::sendMsg(command, quint8(data.size()),
                            reinterpret_cast<quint8 *>(const_cast<char *>(data.constData())));
}

bool AbstractDriver::prepareLine(quint8 command, int answerSize)
{
    // A line that was lost is opened here rather than by the send itself, so that the device
    // behind it can be confirmed before it receives anything.
    cuIOInterface *link = iOInterface();
    if (link && !link->isOpen() && !link->initialize())
        return false; // not sent; its wait times out as for a silent device
    // The requests that confirm the device are not confirmed again.
    if (m_requests.isConfirming())
        return true;
    return confirmDevice(command, answerSize);
}

bool AbstractDriver::waitingAnswer()
{
    return m_requests.waitForAnswer();
}

void AbstractDriver::waitForOwedAnswers(quint8 command)
{
    m_requests.waitForOwed(command);
}

void AbstractDriver::waitForOwedAnswers()
{
    m_requests.waitForOwed(-1);
}

bool AbstractDriver::isReadCode(quint8 command) const
{
    if (command == NoCommand)
        return false;
    for (const DriverProperty_p *property : m_properties) {
        if (property->cmdGetter() == command)
            return true;
    }
    return false;
}

void AbstractDriver::appendProperty(DriverProperty_p *property)
{
    const quint8 getter = property->cmdGetter();
    const quint8 setter = property->cmdSetter();
    for (auto it = m_properties.begin(); it != m_properties.end();) {
        const bool sameGetter = getter != NoCommand && (*it)->cmdGetter() == getter;
        const bool sameSetter = setter != NoCommand && (*it)->cmdSetter() == setter;
        if (sameGetter || sameSetter)
            it = m_properties.erase(it);
        else
            ++it;
    }
    m_properties.push_back(property);
}

bool AbstractDriver::pMsgReceived(quint8 address, quint8 command, quint8 dataLength, quint8 *data)
{
    if (address != devAddress())
        return false;

    m_requests.takeMessage(command, dataLength, data);

    if (command == NoCommand) // the code that means "no such operation" is never dispatched
        return false;
    for (DriverProperty_p *property : m_properties) {
        if (property->cmdGetter() == command) {
            // A getter answer shorter than the value it carries is not taken in.
            if (dataLength < property->answerSize())
                return false;
            property->setBufferData(QByteArray(reinterpret_cast<const char *>(data), dataLength));
            property->gettedSignal()->run();
            return true;
        }
        if (property->cmdSetter() == command) {
            property->settedSignal()->run();
            return true;
        }
    }
    return false;
}
