#ifndef PROPERTYSIGNAL_H
#define PROPERTYSIGNAL_H

#include <functional>
#include <map>

// The callback registry of a property: callbacks run in the order they were added.
class PropertySignal
{
public:
    using Callback = std::function<void()>;

    // Answers the id of the new callback; the first one gets 1.
    int addCallback(Callback callback)
    {
        m_callbacks.emplace(++m_lastId, std::move(callback));
        return m_lastId;
    }

    void run() const
    {
        for (const auto &entry : m_callbacks)
            entry.second();
    }

    int count() const { return int(m_callbacks.size()); }

private:
    std::map<int, Callback> m_callbacks;
    int m_lastId = 0;
};

#endif // PROPERTYSIGNAL_H
