#include "eventpusher.h"

#include <tango.h>

#include <cstdio>

EventPusher::EventPusher(Tango::DeviceImpl *device) : m_device(device), m_thread([this] { run(); })
{
}

EventPusher::~EventPusher()
{
    stop();
}

void EventPusher::post(std::function<void()> push)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping)
            return;
        if (m_queue.size() >= MaxQueued)
            m_queue.pop_front();
        m_queue.push_back(std::move(push));
    }
    m_wake.notify_one();
}

void EventPusher::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_queue.clear();
    }
    m_wake.notify_one();
    if (m_thread.joinable())
        m_thread.join();
}

void EventPusher::run()
{
    for (;;) {
        std::function<void()> push;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_stopping)
                return;
            push = std::move(m_queue.front());
            m_queue.pop_front();
        }
        try {
            // Serialisation by device, Tango's default: the device's own monitor.
            Tango::AutoTangoMonitor sync(&m_device->get_dev_monitor());
            push();
        } catch (const Tango::DevFailed &e) {
            // The monitor not had in time, or no client's channel: this event is lost, the
            // next one may go.
            std::fprintf(stderr, "kuvel-counter-tango: %s: event not pushed: %s\n",
                         m_device->get_name().c_str(),
                         e.errors.length() > 0 ? e.errors[0].desc.in() : "");
        }
    }
}
