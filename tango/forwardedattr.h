#ifndef FORWARDEDATTR_H
#define FORWARDEDATTR_H

#include "kuvelcounter.h"

#include <tango.h>

#include <utility>

// An attribute of the class whose reads and writes go to the device's own methods, which
// tell the attributes apart by name: Base is Tango::Attr, SpectrumAttr or ImageAttr.
template<typename Base> class ForwardedAttr : public Base
{
public:
    template<typename... Args>
    explicit ForwardedAttr(Args &&...args) : Base(std::forward<Args>(args)...)
    {
    }

    void read(Tango::DeviceImpl *device, Tango::Attribute &attribute) override
    {
        static_cast<KuvelCounter *>(device)->readAttribute(attribute);
    }
    void write(Tango::DeviceImpl *device, Tango::WAttribute &attribute) override
    {
        static_cast<KuvelCounter *>(device)->writeAttribute(attribute);
    }
};

#endif // FORWARDEDATTR_H
