#include "faultrun.h"

#include "curs485iointerface.h"
#include "kuvelcounterdriver.h"

#include <QSet>

namespace {

constexpr int MaxProblems = 10;

// The value a read makes of an answer payload, in payload form, so that a zero-terminated
// text and the text read compare equal.
template<typename T> QByteArray normalized(const QByteArray &payload)
{
    return PayloadCodec<T>::encode(PayloadCodec<T>::decode(payload));
}

QString hexCode(quint8 code)
{
    return QStringLiteral("0x%1").arg(code, 2, 16, QLatin1Char('0'));
}

} // namespace

FaultRun::FaultRun(const QString &portName, int answerTimeoutMs)
    : m_link(new cuRs485IOInterface), m_driver(new KuvelCounterDriver)
{
    m_link->setPortName(portName);
    m_driver->setIOInterface(m_link);
    m_driver->setTimeOut(answerTimeoutMs);
}

FaultRun::~FaultRun()
{
    delete m_driver;
    delete m_link;
}

template<typename T, typename Property> bool FaultRun::read(Property *property)
{
    Op op;
    op.code = property->cmdGetter();
    op.read = true;
    op.value = PayloadCodec<T>::encode(property->getValueSync(&op.ok, Attempts));
    op.normalize = &normalized<T>;
    return finish(op);
}

bool FaultRun::finish(Op op)
{
    m_ops.append(op);
    m_failures += !op.ok;
    // Marks the end of the operation in the device's log; the device does not answer it.
    m_link->sendMsg(MarkerAddress, 0x00, 0, nullptr);
    return op.ok;
}

bool FaultRun::readCounts()
{
    return read<Kuvel_Counts_t>(m_driver->counts());
}

bool FaultRun::readTimeConst()
{
    return read<float>(m_driver->timeConst());
}

bool FaultRun::readChannel()
{
    return read<unsigned char>(m_driver->currentChannel());
}

bool FaultRun::readDeviceType()
{
    return read<QString>(m_driver->deviceType());
}

bool FaultRun::readIdentifier()
{
    return read<cUDID>(m_driver->UDID());
}

bool FaultRun::identify()
{
    if (!readDeviceType())
        return false;
    Op op;
    op.code = m_driver->UDID()->cmdGetter();
    op.ok = m_driver->acceptDevice(m_driver->deviceType()->currentValue(), Attempts);
    return finish(op);
}

bool FaultRun::writeTimeConst(float seconds)
{
    Op op;
    op.code = m_driver->timeConst()->cmdSetter();
    m_driver->timeConst()->setValueSync(seconds, &op.ok, Attempts);
    return finish(op);
}

bool FaultRun::writeChannel(quint8 index)
{
    Op op;
    op.code = m_driver->currentChannel()->cmdSetter();
    m_driver->currentChannel()->setValueSync(index, &op.ok, Attempts);
    return finish(op);
}

bool FaultRun::writeRefLevel(quint8 channel, quint8 level, quint16 value)
{
    Op op;
    op.code = m_driver->referenceLevel()->cmdSetter();
    m_driver->referenceLevel()->setValueSync({channel, level, value}, &op.ok, Attempts);
    return finish(op);
}

bool FaultRun::startCounting()
{
    Op op;
    op.code = m_driver->startCounter()->cmdSetter();
    m_driver->startCounter()->executeSync(&op.ok, Attempts);
    return finish(op);
}

bool FaultRun::stopCounting()
{
    Op op;
    op.code = m_driver->stopCounter()->cmdSetter();
    m_driver->stopCounter()->executeSync(&op.ok, Attempts);
    return finish(op);
}

FaultFigures FaultRun::check(const QStringList &logLines, bool unsolicitedCountsAllowed) const
{
    const SimLog log(logLines, MarkerAddress);
    FaultFigures figures;
    figures.oddities = log.oddities();
    figures.unsolicitedFrames = log.unsolicited().size();
    const auto problem = [&figures](const QString &text) {
        if (figures.problems.size() < MaxProblems)
            figures.problems << text;
    };

    for (const SimLog::Operation &logged : log.operations()) {
        for (const SimLog::Request &request : logged.requests) {
            ++figures.requests;
            const SimLog::Answer &answer = request.answer;
            figures.answersDropped += answer.dropped;
            figures.answersCorrupted += answer.exists && !answer.dropped && answer.corrupted;
            figures.answersLate += answer.late;
            figures.answersWrongCode += answer.wrongCode;
            figures.answersShort += answer.shortened;
            figures.answersLong += answer.lengthened;
            figures.requestsEchoed += request.echoed;
            figures.noiseBursts += answer.noiseBytes > 0;
        }
    }
    // The log is that of the first device only.
    const int loggedOps = m_swapAt < 0 ? m_ops.size() : m_swapAt;
    if (log.operations().size() != loggedOps) {
        figures.oddities << QStringLiteral("the log holds %1 operations, the run made %2")
                                .arg(log.operations().size())
                                .arg(loggedOps);
    }

    const quint8 countsCode = m_driver->counts()->cmdGetter();
    QSet<QByteArray> countsSeen;
    const int count = qMin(loggedOps, log.operations().size());
    figures.operations = m_ops.size();
    for (int i = 0; i < m_ops.size(); ++i) {
        const Op &op = m_ops.at(i);
        op.ok ? ++figures.succeeded : ++figures.failed;
        if (m_swapAt >= 0 && i >= m_swapAt) {
            if (!op.ok)
                continue;
            ++figures.successesAfterSwap;
            figures.valuesChecked += op.read;
            op.read ? ++figures.wrongValues : ++figures.unconfirmedSuccesses;
            problem(QStringLiteral("operation %1 (%2) succeeded with another device")
                        .arg(i)
                        .arg(hexCode(op.code)));
            continue;
        }
        if (i >= count)
            continue;
        const SimLog::Operation &logged = log.operations().at(i);
        const int end = logged.markerLine < 0 ? INT_MAX : logged.markerLine;

        // The answers that may end this operation: to its own requests, with their code,
        // intact, whole, and gone out before the operation ended.
        QVector<QByteArray> good;
        QVector<QByteArray> cut; // whole but for their length: no value
        QSet<quint32> ownNumbers;
        bool echoed = false;
        for (const SimLog::Request &request : logged.requests) {
            if (request.code != op.code) {
                figures.oddities << QStringLiteral(
                                        "operation %1 sent code %2 but the device got %3")
                                        .arg(i)
                                        .arg(hexCode(op.code), hexCode(request.code));
                continue;
            }
            echoed = echoed || request.echoed;
            if (request.number)
                ownNumbers.insert(request.number);
            const SimLog::Answer &answer = request.answer;
            if (answer.exists && !answer.dropped && !answer.corrupted && answer.code == op.code
                && answer.line < end)
                (answer.shortened ? cut : good).append(answer.payload);
        }

        if (!op.ok) {
            if (!good.isEmpty())
                ++figures.missedAnswers;
            continue;
        }
        if (good.isEmpty()) {
            ++figures.unconfirmedSuccesses;
            problem(QStringLiteral("operation %1 (%2) succeeded with no answer of its own")
                        .arg(i)
                        .arg(hexCode(op.code)));
        }
        if (!op.read)
            continue;

        ++figures.valuesChecked;
        if (op.code == countsCode) {
            ++figures.countsChecked;
            countsSeen.insert(op.value);
        }
        bool matches = false;
        for (const QByteArray &payload : good)
            matches = matches || op.normalize(payload) == op.value;
        if (!matches && unsolicitedCountsAllowed) {
            // Counts the device sent unasked while this operation ran; one sent just before
            // the device read the request may still have been on the line.
            const int begin = i == 0 ? -1 : log.operations().at(i - 1).markerLine;
            for (const SimLog::Unsolicited &frame : log.unsolicited()) {
                if (frame.code == op.code && frame.line > begin && frame.line < end)
                    matches = matches || op.normalize(frame.payload) == op.value;
            }
            figures.unsolicitedTaken += matches;
        }
        if (matches)
            continue;
        ++figures.wrongValues;
        QString kind = QStringLiteral("not an answer of its own");
        // The first count of numbered counts names the request that was answered.
        const quint32 number
            = op.code == countsCode ? PayloadCodec<Kuvel_Counts_t>::decode(op.value).count[0] : 0;
        bool wasCut = false;
        for (const QByteArray &payload : cut)
            wasCut = wasCut || op.normalize(payload) == op.value;
        if (wasCut) {
            ++figures.shortTaken;
            kind = QStringLiteral("an answer cut short");
        } else if (!ownNumbers.isEmpty() && number && !ownNumbers.contains(number)) {
            ++figures.staleValues;
            kind = QStringLiteral("the answer to counts request %1, not its own").arg(number);
        } else if (echoed && op.normalize(QByteArray()) == op.value) {
            // A read sends an empty payload, so its echo reads as an empty answer.
            ++figures.echoTaken;
            kind = QStringLiteral("the echo of its request");
        }
        problem(QStringLiteral("operation %1 (%2) read %3, %4")
                    .arg(i)
                    .arg(hexCode(op.code), QString::fromLatin1(op.value.toHex(' ')), kind));
    }
    figures.distinctCounts = countsSeen.size();
    return figures;
}
