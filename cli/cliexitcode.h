#ifndef CLIEXITCODE_H
#define CLIEXITCODE_H

#include "counterclient.h"

// Exit codes of the command-line program, so scripts can tell the failures apart.
enum CliExitCode {
    ExitOk = 0,
    ExitUsage = 1, // bad arguments: nothing was sent to the device
    ExitDevice = 2, // the device answered, but it is not a counter or reports nonsense
    ExitNoAnswer = 3, // the port did not open or the device did not answer after its attempts
    ExitOutput = 4, // standard output could not be written, other than by a closed pipe
};

inline CliExitCode cliExitCode(CounterClient::Failure failure)
{
    switch (failure) {
    case CounterClient::NoFailure:
        return ExitOk;
    case CounterClient::OtherDevice:
        return ExitDevice;
    case CounterClient::NoAnswer:
        break;
    }
    return ExitNoAnswer;
}

#endif // CLIEXITCODE_H
