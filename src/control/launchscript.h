#pragma once

#include <QString>
#include <QStringList>

/// Texts of the one-shot scripts that start a program one second after the updater has quit and
/// then delete themselves and the private folder that holds them (the script's parent folder).
/// Both are pure functions so that either can be checked on any system; the caller encodes the
/// text for the interpreter that runs it.
namespace LaunchScript {

/// Windows batch file: CR LF line ends, paths with backslashes.
QString windowsBatch(const QString& program, const QStringList& arguments, const QString& batchPath);

/// POSIX shell script: every word single-quoted, so spaces, quotes and non-ASCII text are safe.
QString posixShell(const QString& program, const QStringList& arguments, const QString& scriptPath);

/// `text` as one single-quoted shell word.
QString shellQuote(const QString& text);

} // namespace LaunchScript
