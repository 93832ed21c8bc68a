#pragma once

#include "support/processes.h"

#include <QMap>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

/// The Windows build of the updater run under Wine, for whole runs of the real Windows program on
/// Linux. scripts/windows-test.sh sets the environment: UPDATER_WINDOWS_BIN (the bin folder of the
/// cross build, deployed with its DLLs), WINEPREFIX (a prefix of the tests' own) and optionally
/// UPDATER_WINE (the wine64 loader).
namespace WineRun {

/// Locales whose Windows code page the runs take: 936 (GBK) and 1252.
extern const char* const ChineseLocale;
extern const char* const WesternLocale;

/// Why no Windows program can run here, or an empty text when they can.
QString unavailableReason();

/// Path of a program of the Windows build, e.g. "update.exe" or "hostprobe.exe".
QString windowsProgram(const QString& name);

/// Copies update.exe and everything it loads at run time (DLLs, plugin folders) into `folder`, as
/// an installation on Windows holds them.
bool deployUpdater(const QString& folder);

/// The Windows path of a Linux path as Wine shows it to programs ("Z:\tmp\...").
QString windowsPath(const QString& linuxPath);

/// Runs the Windows program `program` under Wine in `workingDir` with the code page of `locale`;
/// kills it after `timeoutMs`.
ProcessResult run(const QString& program, const QStringList& arguments, const QString& workingDir,
                  const char* locale, int timeoutMs);

/// As run(), until `marker` appears in the program's output (then ends it).
ProcessResult runUntil(const QString& program, const QStringList& arguments, const QString& workingDir,
                       const char* locale, const QByteArray& marker, int timeoutMs);

/// The environment of a run under `locale`, for tests that start Windows programs themselves.
QProcessEnvironment processEnvironment(const char* locale);

/// The command that starts a Windows program under Wine, for QProcess.
QString loader();

/// Ends every Windows process of the prefix, detached ones included (host programs, helpers).
void endAll();

} // namespace WineRun
