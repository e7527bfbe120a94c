#ifndef FORWARDEDCOMMAND_H
#define FORWARDEDCOMMAND_H

#include <tango.h>

// A command of the class that hands its name and its numbers (a DevVarLongArray, or none) to
// the device's runCommand(), and answers nothing.
class ForwardedCommand : public Tango::Command
{
public:
    ForwardedCommand(const char *name, Tango::CmdArgType in, const char *inDescription);

    CORBA::Any *execute(Tango::DeviceImpl *device, const CORBA::Any &in) override;
};

#endif // FORWARDEDCOMMAND_H
