#ifndef KUVELCOUNTERCLASS_H
#define KUVELCOUNTERCLASS_H

#include <tango.h>

#include <string>
#include <vector>

// The Tango class KuvelCounter: its commands and attributes, and its devices, one per counter,
// made from the names the database (or the file database) gives the server instance.
class KuvelCounterClass : public Tango::DeviceClass
{
public:
    static constexpr const char *Name = "KuvelCounter";
    // Tango keeps one object of each class for the server's life.
    static KuvelCounterClass *init();

protected:
    explicit KuvelCounterClass(std::string &name);

    void command_factory() override;
    void attribute_factory(std::vector<Tango::Attr *> &attributes) override;
    void device_factory(const Tango::DevVarStringArray *names) override;
};

#endif // KUVELCOUNTERCLASS_H
