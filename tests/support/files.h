#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

/// Writes `content` to `path`, creating missing folders; false when any step fails.
bool writeFile(const QString& path, const QByteArray& content);

/// The whole content of `path`, or an empty array when it cannot be read.
QByteArray readFile(const QString& path);

/// Paths of every file below `root` (hidden ones too), relative to it and sorted.
QStringList filesBelow(const QString& root);

/// Skips the current test where QFile::link cannot make a link that the file system follows: on
/// Windows it makes a shortcut (.lnk) file instead.
#ifdef Q_OS_WIN
#define SKIP_WITHOUT_FILE_LINKS() QSKIP("QFile::link makes a shortcut file on Windows, not a link")
#else
#define SKIP_WITHOUT_FILE_LINKS()                                                                            \
    do {                                                                                                     \
    } while (false)
#endif
