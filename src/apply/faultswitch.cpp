#include "apply/faultswitch.h"

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
