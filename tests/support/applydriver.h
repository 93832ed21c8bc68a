#pragma once

#include "support/scratchinstallation.h"

#include <QApplication>
#include <QMap>
#include <QString>
#include <QTest>

/// Lets a test executable play the applying run of an update, for whole-run tests of the apply
/// steps that need no update channel.
///
/// The test copies its own executable into the scratch installation and starts the copy with the
/// driver switch. The copy then behaves as update.exe would after a successful download: it builds
/// the real controller from the installation's system.cfg and delivers the download's success,
/// so that backup, replacement, rollback, self-update hand-over and relaunch run as in a product
/// run, on the files staged in the temporary folder. Its exit code is 0 after an installed update,
/// 2 after a failed one whose window closed with its cancel button (the window's texts are
/// printed first), and 3 when that window would not close.
namespace ApplyDriver {

constexpr const char* driverSwitch = "--apply-driver";
constexpr const char* driverName = "apply-driver";

/// When the command line holds the driver switch, runs the apply and stores the exit code.
bool runIfRequested(int argc, char** argv, int& exitCode);

/// Copies the running executable into `installation` (once); returns the driver's path. Run it
/// with the argument driverSwitch.
QString install(const ScratchInstallation& installation);

/// Copies the running executable into `installation` (once) and runs it there as the driver,
/// with `environment` added to the test's own.
ProcessResult run(const ScratchInstallation& installation, const QMap<QString, QString>& environment = {},
                  int timeoutMs = 30000);

} // namespace ApplyDriver

#define UPDATER_APPLY_DRIVER_TEST_MAIN(TestObject)                                                           \
    int main(int argc, char** argv)                                                                          \
    {                                                                                                        \
        int driverExitCode = 0;                                                                              \
        if (ApplyDriver::runIfRequested(argc, argv, driverExitCode)) {                                       \
            return driverExitCode;                                                                           \
        }                                                                                                    \
        QApplication app(argc, argv);                                                                        \
        TestObject test;                                                                                     \
        return QTest::qExec(&test, argc, argv);                                                              \
    }
