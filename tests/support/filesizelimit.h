#pragma once

#include <QString>
#include <QStringList>

/// Runs programs with a limit on the size of every file they write, as a full disk would stop
/// them: writes past the limit fail with EFBIG (the SIGXFSZ that would end the process is
/// ignored). The limit is set by a bash wrapper that then replaces itself with the program, so the
/// process started is the program itself.
namespace FileSizeLimit {

/// The program to start for `program` under a limit: bash.
QString wrapper();

/// Arguments for wrapper() that run `program` with `arguments` limited to `limitKiB` KiB per file.
QStringList arguments(const QString& program, const QStringList& arguments, int limitKiB);

} // namespace FileSizeLimit
