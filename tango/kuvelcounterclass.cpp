#include "kuvelcounterclass.h"

#include "forwardedattr.h"
#include "forwardedcommand.h"
#include "kuvelcounter.h"

namespace {

// Every scan point is a row (phase, level, count): 4 phases of at most 65536 levels.
constexpr long MaxScanPoints = 4 * 65536;

Tango::Attr *withProperties(Tango::Attr *attribute, const char *description, const char *unit,
                            const char *min = nullptr, const char *max = nullptr)
{
    Tango::UserDefaultAttrProp properties;
    properties.set_description(description);
    if (*unit)
        properties.set_unit(unit);
    if (min)
        properties.set_min_value(min);
    if (max)
        properties.set_max_value(max);
    attribute->set_default_properties(properties);
    return attribute;
}

} // namespace

KuvelCounterClass *KuvelCounterClass::init()
{
    static KuvelCounterClass *instance = nullptr;
    if (!instance) {
        std::string name = Name;
        instance = new KuvelCounterClass(name);
    }
    return instance;
}

KuvelCounterClass::KuvelCounterClass(std::string &name) : Tango::DeviceClass(name) { }

void KuvelCounterClass::command_factory()
{
    command_list.push_back(new ForwardedCommand("Start", Tango::DEV_VOID, ""));
    command_list.push_back(new ForwardedCommand("Stop", Tango::DEV_VOID, ""));
    command_list.push_back(new ForwardedCommand("Save", Tango::DEV_VOID, ""));
    command_list.push_back(new ForwardedCommand("SetLevel", Tango::DEVVAR_LONGARRAY,
                                                "[channel 1-8, level 1-4, value 0-65535]"));
    command_list.push_back(
        new ForwardedCommand("Scan", Tango::DEVVAR_LONGARRAY,
                             "[channel 1-8, start 0-65535, stop 0-65535, step 1-65535]"));
}

void KuvelCounterClass::attribute_factory(std::vector<Tango::Attr *> &attributes)
{
    attributes.push_back(withProperties(
        new ForwardedAttr<Tango::SpectrumAttr>("Counts", Tango::DEV_ULONG, Tango::READ, 4),
        "The four counts, 1-photon level first, read from the counter at each read; while "
        "counting, a change event for every reading",
        ""));
    attributes.push_back(withProperties(
        new ForwardedAttr<Tango::Attr>("Channel", Tango::DEV_SHORT, Tango::READ_WRITE),
        "The active channel", "", "1", "8"));
    attributes.push_back(withProperties(
        new ForwardedAttr<Tango::Attr>("TimeConstant", Tango::DEV_DOUBLE, Tango::READ_WRITE),
        "The time constant", "s", "0.01", "10"));
    attributes.push_back(withProperties(
        new ForwardedAttr<Tango::Attr>("ScanProgress", Tango::DEV_DOUBLE, Tango::READ),
        "Share of the last scan's points measured", "%"));
    attributes.push_back(
        withProperties(new ForwardedAttr<Tango::ImageAttr>("ScanPoints", Tango::DEV_ULONG,
                                                           Tango::READ, 3, MaxScanPoints),
                       "The last scan's points so far, one row each: phase 1-4, level, count", ""));
    attributes.push_back(withProperties(
        new ForwardedAttr<Tango::SpectrumAttr>("ScanLevels", Tango::DEV_LONG, Tango::READ, 4),
        "The levels the last complete scan proposes, level 1 first; -1 where it proposes none",
        ""));
}

void KuvelCounterClass::device_factory(const Tango::DevVarStringArray *names)
{
    for (CORBA::ULong i = 0; i < names->length(); ++i) {
        KuvelCounter *device = new KuvelCounter(this, std::string((*names)[i].in()));
        device_list.push_back(device);
        // With a file database, or none, the device is found by its name on the server's
        // endpoint (tango://HOST:PORT/NAME#dbase=no).
        if (Tango::Util::_UseDb && !Tango::Util::_FileDb)
            export_device(device);
        else
            export_device(device, device->get_name().c_str());
    }
}

void Tango::DServer::class_factory()
{
    add_class(KuvelCounterClass::init());
}
