#pragma once

/// Test-only crash simulation for the apply steps.
///
/// When the environment variable UPDATER_TEST_ABORT_AFTER_FILE_OPS holds a positive number N, the
/// process ends abruptly (no clean-up, no destructors, like a kill) right after its Nth file
/// operation that changes the disk. The variable is read only when it is set; without it the
/// switch does nothing. Crash tests use it to stop an update at every point in turn.
class FaultSwitch
{
public:
    static constexpr const char* variableName = "UPDATER_TEST_ABORT_AFTER_FILE_OPS";
    static constexpr int abortExitCode = 86;

    /// Counts one completed file operation and ends the process when the limit is reached.
    static void fileOperationDone();
};
