#ifndef EVENTPUSHER_H
#define EVENTPUSHER_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace Tango {
class DeviceImpl;
}

// Pushes a device's events from a thread of its own, each under the device's monitor, as
// Tango asks of events pushed outside a request. The counter's thread only queues them: a
// client's request holds the monitor while it waits for that very thread, so taking the
// monitor there would never end.
class EventPusher
{
public:
    // More events than this waiting means the monitor is held for long: the oldest go.
    static constexpr size_t MaxQueued = 1000;

    explicit EventPusher(Tango::DeviceImpl *device);
    ~EventPusher();

    void post(std::function<void()> push);
    // Drops what still waits and ends the thread.
    void stop();

private:
    void run();

    Tango::DeviceImpl *const m_device;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_queue;
    bool m_stopping = false;
    std::thread m_thread;
};

#endif // EVENTPUSHER_H
