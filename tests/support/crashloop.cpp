#include "support/crashloop.h"

#include "apply/faultswitch.h"
#include "support/applydriver.h"
#include "support/installsnapshot.h"

#include <QFile>
#include <QtGlobal>

namespace {

/// More file operations than any scenario makes; the loop ends long before.
constexpr int MaxFaultPoint = 300;

QMap<QString, QString> abortAfter(int operations)
{
    return {{QLatin1String(FaultSwitch::variableName), QString::number(operations)}};
}

ProcessResult runUpdater(const ScratchInstallation& installation, const QStringList& arguments,
                         const QMap<QString, QString>& environment)
{
    return runProcessWithEnvironment(installation.updaterPath(), arguments, installation.path(), environment,
                                     30000);
}

void prepare(ScratchInstallation& installation, const CrashLoop::Stage& stage)
{
    installation.writeConfig(ScratchInstallation::offlineConfig());
    stage(installation);
}

} // namespace

namespace CrashLoop {

Snapshot installationState(const ScratchInstallation& installation)
{
    Snapshot state = snapshotFiles(installation.path(), NotInstalled);
    state.remove(QStringLiteral("update/updateTmp.ini"));
    state.remove(QStringLiteral("update/md5Tmp.txt"));
    return state;
}

const QStringList NotInstalled = {QStringLiteral("logs"),       QStringLiteral("temp"),
                                  QStringLiteral("backup"),     QLatin1String(ApplyDriver::driverName),
                                  QStringLiteral("update.exe"), QStringLiteral("host-started")};

ProcessResult runDriver(ScratchInstallation& installation, const QMap<QString, QString>& environment)
{
    return ApplyDriver::run(installation, environment);
}

ProcessResult runHelperFailure(ScratchInstallation& installation, const QMap<QString, QString>& environment)
{
    return runUpdater(installation, {QStringLiteral("updatehelper"), QStringLiteral("HelperFaile")},
                      environment);
}

ProcessResult runHelperSuccess(ScratchInstallation& installation, const QMap<QString, QString>& environment)
{
    return runUpdater(installation, {QStringLiteral("updatehelper"), QStringLiteral("HelperSuccess")},
                      environment);
}

ProcessResult runConsole(ScratchInstallation& installation, const QMap<QString, QString>& environment)
{
    return runUpdater(installation, {QStringLiteral("console")}, environment);
}

int crashAtEveryPoint(const Stage& stage, const Interrupt& interrupt, const Snapshot& oldState,
                      const Snapshot& newState)
{
    for (int point = 1; point <= MaxFaultPoint; ++point) {
        ScratchInstallation installation;
        prepare(installation, stage);
        const ProcessResult interrupted = interrupt(installation, abortAfter(point));
        if (!interrupted.finished) {
            qWarning("fault point %d: the interrupted run did not end", point);
            return -1;
        }
        if (interrupted.exitCode != FaultSwitch::abortExitCode) {
            qInfo("stopped at each of %d fault points", point - 1);
            return point;
        }
        const ProcessResult next = installation.runUpdater({QStringLiteral("console")});
        if (!next.finished || next.exitCode != 0) {
            qWarning("fault point %d: the next run failed", point);
            return -1;
        }
        const Snapshot after = installationState(installation);
        if (after != oldState && after != newState) {
            qWarning("fault point %d: neither old (%s) nor new (%s)", point,
                     qPrintable(describeDifference(after, oldState)),
                     qPrintable(describeDifference(after, newState)));
            return -1;
        }
        if (installation.exists(QStringLiteral("backup"))) {
            qWarning("fault point %d: the backup outlived the recovery", point);
            return -1;
        }
    }
    return -1;
}

Snapshot stateAfter(const Stage& stage, const Interrupt& run)
{
    ScratchInstallation installation;
    prepare(installation, stage);
    run(installation, {});
    return installationState(installation);
}

Snapshot stateBefore(const Stage& stage)
{
    ScratchInstallation installation;
    prepare(installation, stage);
    return installationState(installation);
}

void installOldVersion(ScratchInstallation& installation)
{
    installation.writeFile(QStringLiteral("a.txt"), "old a");
    installation.writeFile(QStringLiteral("keep.txt"), "untouched");
    installation.writeFile(QStringLiteral("lib/x.dll"), "old x");
    installation.writeFile(QStringLiteral("lib/y.dll"), "old y");
    installation.writeFile(QStringLiteral("update/update.ini"), "old manifest");
    installation.writeFile(QStringLiteral("md5.txt"), "old list");
}

void stageUpdate(ScratchInstallation& installation)
{
    installOldVersion(installation);
    installation.writeFile(QStringLiteral("temp/a.txt"), "new a");
    installation.writeFile(QStringLiteral("temp/added.txt"), "added");
    installation.writeFile(QStringLiteral("temp/lib/x.dll"), "new x");
    installation.writeFile(QStringLiteral("temp/lib/z.dll"), "added z");
    installation.writeFile(QStringLiteral("temp/plugins/p/p.dll"), "added plugin");
    installation.writeFile(QStringLiteral("update/updateTmp.ini"), "new manifest");
    installation.writeFile(QStringLiteral("update/md5Tmp.txt"), "new list");
}

void stageFailingUpdate(ScratchInstallation& installation)
{
    installOldVersion(installation);
    // A link to nothing cannot be replaced: a new file is never written through a link.
    QFile::link(installation.filePath(QStringLiteral("nowhere")),
                installation.filePath(QStringLiteral("c.txt")));
    installation.writeFile(QStringLiteral("temp/a.txt"), "new a");
    installation.writeFile(QStringLiteral("temp/b.txt"), "new b");
    installation.writeFile(QStringLiteral("temp/c.txt"), "cannot replace the link");
    installation.writeFile(QStringLiteral("temp/lib/x.dll"), "new x");
    installation.writeFile(QStringLiteral("update/updateTmp.ini"), "new manifest");
}

const QStringList SavedFiles = {QStringLiteral("a.txt"), QStringLiteral("lib/x.dll"),
                                QStringLiteral("update/update.ini"), QStringLiteral("md5.txt")};

void saveInBackup(ScratchInstallation& installation)
{
    for (const QString& file : SavedFiles) {
        installation.writeFile(QStringLiteral("backup/") + file, installation.readFile(file));
    }
}

void replaceForSelfUpdate(ScratchInstallation& installation)
{
    saveInBackup(installation);
    for (const QString& file : SavedFiles) {
        installation.writeFile(file, "new " + file.toUtf8());
        installation.writeFile(QStringLiteral("temp/") + file, "new " + file.toUtf8());
    }
    installation.writeFile(QStringLiteral("temp/update.exe"), "new program");
}

void stageFailedSelfUpdate(ScratchInstallation& installation)
{
    installOldVersion(installation);
    replaceForSelfUpdate(installation);
}

} // namespace CrashLoop
