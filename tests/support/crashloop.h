#pragma once

#include "support/scratchinstallation.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>

/// Crash tests of the apply steps: an update is stopped after every single file operation in turn
/// (through the test-only fault switch), update.exe then starts once, and the installation must be
/// the old one or the new one, byte for byte, and nothing in between.
namespace CrashLoop {

using Snapshot = QMap<QString, QByteArray>;
/// Puts the installation's files (old version, download, backup) in place.
using Stage = std::function<void(ScratchInstallation&)>;
/// Runs the step under test with the given environment added.
using Interrupt = std::function<ProcessResult(ScratchInstallation&, const QMap<QString, QString>&)>;

/// Neither part of the old nor of the new installation: the run folders, the log, the test's own
/// programs and what the relaunched host leaves behind.
extern const QStringList NotInstalled;

/// The applying run after a successful download (the apply driver).
ProcessResult runDriver(ScratchInstallation& installation, const QMap<QString, QString>& environment);

/// update.exe finishing a self-update that the helper reported as failed.
ProcessResult runHelperFailure(ScratchInstallation& installation, const QMap<QString, QString>& environment);

/// update.exe finishing a self-update that the helper reported as done.
ProcessResult runHelperSuccess(ScratchInstallation& installation, const QMap<QString, QString>& environment);

/// update.exe started as the host starts it for a check ("console"), which first finishes an
/// interrupted apply.
ProcessResult runConsole(ScratchInstallation& installation, const QMap<QString, QString>& environment);

/// Runs `interrupt` stopped after 1, 2, ... file operations until it completes. After every stop,
/// update.exe starts once; the installation must then equal `oldState` or `newState`. Returns how
/// many fault points were tried, or -1 (with a warning) at the first that broke the promise.
int crashAtEveryPoint(const Stage& stage, const Interrupt& interrupt, const Snapshot& oldState,
                      const Snapshot& newState);

/// The installation as a run leaves it: without the parts in NotInstalled and the lists an HTTP
/// check staged, which never outlive a run.
Snapshot installationState(const ScratchInstallation& installation);

/// The installation after `stage`, and after `stage` and an uninterrupted `run`.
Snapshot stateBefore(const Stage& stage);
Snapshot stateAfter(const Stage& stage, const Interrupt& run);

/// A small installed version: top-level files, a library folder, the manifest and the MD5 list.
void installOldVersion(ScratchInstallation& installation);

/// The old version and a download that replaces, adds (in new folders too) and brings new lists.
void stageUpdate(ScratchInstallation& installation);

/// The old version and a download whose third file cannot be installed (a link to nothing is in
/// its place): the replacement fails and rolls back.
void stageFailingUpdate(ScratchInstallation& installation);

/// Files of the installed version that the staged replacements below change.
extern const QStringList SavedFiles;

/// Copies SavedFiles of the installation into "backup/".
void saveInBackup(ScratchInstallation& installation);

/// What a replacement whose self-update still waits leaves: SavedFiles in "backup/", replaced in
/// the installation by "new <path>", which the download holds too beside a new update.exe.
void replaceForSelfUpdate(ScratchInstallation& installation);

/// The old version replaced by a self-update whose helper then failed.
void stageFailedSelfUpdate(ScratchInstallation& installation);

} // namespace CrashLoop
