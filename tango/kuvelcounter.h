#ifndef KUVELCOUNTER_H
#define KUVELCOUNTER_H

#include "counterworker.h"

#include <tango.h>

#include <QString>

#include <memory>
#include <string>
#include <vector>

class EventPusher;

// The Tango device of one counter: its properties, state and status, attributes and commands.
// Tango's threads run these methods under the device's monitor; the counter itself lives on
// the worker's thread, which runs each request whole and answers it here. Every value read
// is the counter's answer to that read, or a DevFailed saying why none came.
class KuvelCounter : public Tango::Device_5Impl
{
public:
    static constexpr int DefaultAttempts = 5;
    static constexpr int MaxAttempts = 100;
    static constexpr double MinTimeConst = 0.01;
    static constexpr double MaxTimeConst = 10;
    static constexpr int MaxLevel = 65535;

    KuvelCounter(Tango::DeviceClass *deviceClass, const std::string &name);
    ~KuvelCounter() override;

    void init_device() override;
    void delete_device() override;
    Tango::DevState dev_state() override;
    Tango::ConstDevString dev_status() override;

    void readAttribute(Tango::Attribute &attribute);
    void writeAttribute(Tango::WAttribute &attribute);
    // Commands without an argument get none; SetLevel and Scan their numbers.
    void runCommand(const std::string &name, const std::vector<Tango::DevLong> &values);

private:
    // The worker, or a DevFailed naming the property that keeps the device from one.
    CounterWorker &worker();
    // A DevFailed with the worker's reason when the counter did not confirm the operation.
    void require(bool ok, const char *origin);
    void readScanAttribute(Tango::Attribute &attribute);
    void pushReading(const CounterWorker::Reading &reading);

    std::unique_ptr<CounterWorker> m_worker;
    std::unique_ptr<EventPusher> m_pusher;
    QString m_setupError; // why there is no worker: a property missing or wrong
    std::string m_statusText;

    // What a read hands Tango must outlive the read's callback: Tango sends it afterwards.
    Tango::DevULong m_counts[CounterClient::LevelCount] = {};
    Tango::DevULong m_eventCounts[CounterClient::LevelCount] = {};
    Tango::DevShort m_channel = 0;
    Tango::DevDouble m_timeConst = 0;
    Tango::DevDouble m_percentDone = 0;
    std::vector<Tango::DevULong> m_points;
    Tango::DevLong m_levels[CounterClient::LevelCount] = {};
};

#endif // KUVELCOUNTER_H
