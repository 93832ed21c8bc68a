#pragma once

#include <QtGlobal>

/// Test-only crash simulation for the apply steps.
///
/// When the environment variable UPDATER_TEST_ABORT_AFTER_FILE_OPS holds a positive number N, the
/// process ends abruptly (no clean-up, no destructors, like a kill) right after its Nth file
/// operation that changes the disk. The variable is read only when it is set; without it the
/// switch does nothing. Crash tests use it to stop an update at every point in turn.
///
/// UPDATER_TEST_FREE_BYTES, when it holds a number of bytes, is what the free-space check takes as
/// the free space of the installation's volume, so that tests can make a volume look full without
/// filling a disk. UPDATER_TEST_STALL_TIMEOUT_MS shortens the time a TCP download waits for data
/// before its attempt fails, so that a stalled link can be tested in seconds.
class FaultSwitch
{
public:
    static constexpr const char* variableName = "UPDATER_TEST_ABORT_AFTER_FILE_OPS";
    static constexpr const char* freeBytesVariable = "UPDATER_TEST_FREE_BYTES";
    static constexpr const char* stallTimeoutVariable = "UPDATER_TEST_STALL_TIMEOUT_MS";
    static constexpr int abortExitCode = 86;

    /// Counts one completed file operation and ends the process when the limit is reached.
    static void fileOperationDone();
    /// `measured`, unless the free-space switch is set: then the bytes it names.
    static qint64 reportedFreeBytes(qint64 measured);
    /// `normal`, unless the stall switch names a positive number of milliseconds.
    static int stallTimeoutMs(int normal);
};
