#include "apply/faultswitch.h"

#include <QString>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

namespace {

int readLimit()
{
    if (!qEnvironmentVariableIsSet(FaultSwitch::variableName)) {
        return 0;
    }
    bool ok = false;
    const int limit = qEnvironmentVariableIntValue(FaultSwitch::variableName, &ok);
    return ok && limit > 0 ? limit : 0;
}

} // namespace

void FaultSwitch::fileOperationDone()
{
    static const int limit = readLimit();
    static int done = 0;
    if (limit == 0) {
        return;
    }
    if (++done >= limit) {
        std::fprintf(stderr, "fault switch: aborting after file operation %d\n", done);
        std::fflush(stderr);
        std::_Exit(abortExitCode);
    }
}

qint64 FaultSwitch::reportedFreeBytes(qint64 measured)
{
    if (!qEnvironmentVariableIsSet(freeBytesVariable)) {
        return measured;
    }
    bool ok = false;
    const qint64 bytes = qEnvironmentVariable(freeBytesVariable).toLongLong(&ok);
    return ok && bytes >= 0 ? bytes : measured;
}

int FaultSwitch::stallTimeoutMs(int normal)
{
    bool ok = false;
    const int milliseconds = qEnvironmentVariableIntValue(stallTimeoutVariable, &ok);
    return ok && milliseconds > 0 ? milliseconds : normal;
}
