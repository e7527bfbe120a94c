#include "forwardedcommand.h"

#include "kuvelcounter.h"

ForwardedCommand::ForwardedCommand(const char *name, Tango::CmdArgType in,
                                   const char *inDescription)
    : Tango::Command(name, in, Tango::DEV_VOID, inDescription, "", Tango::OPERATOR)
{
}

CORBA::Any *ForwardedCommand::execute(Tango::DeviceImpl *device, const CORBA::Any &in)
{
    std::vector<Tango::DevLong> values;
    if (get_in_type() == Tango::DEVVAR_LONGARRAY) {
        const Tango::DevVarLongArray *numbers = nullptr;
        extract(in, numbers);
        values.assign(numbers->get_buffer(), numbers->get_buffer() + numbers->length());
    }
    static_cast<KuvelCounter *>(device)->runCommand(get_name(), values);
    return new CORBA::Any();
}
