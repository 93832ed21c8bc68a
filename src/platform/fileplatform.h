#pragma once

#include <QString>
#include <Qt>

class QFile;

/// The file-system behaviour that differs between systems: pushing written data and folder entries
/// to the storage device (so that what the updater saved survives a power loss or a killed
/// process) and whether paths compare with case. One source file per system implements it.
namespace FilePlatform {

/// Flushes an open file's data to the device. False when the system reports an error.
bool syncFile(QFile& file);

/// Hands an open file's written data to the device without waiting for it, so that a later
/// syncPath() of the same file finds little left to write. Systems without such a call do nothing.
void startWriteback(QFile& file);

/// Flushes the data of the file at `path` to the device; opens it for that. False when it cannot
/// be opened or the system reports an error.
bool syncPath(const QString& path);

/// Makes the entries of `folder` (created, renamed or removed names) durable. Systems whose file
/// system journals folder entries by itself report true without doing anything.
bool syncFolder(const QString& folder);

/// How the system's file names compare: with case on Unix, without it on Windows.
Qt::CaseSensitivity pathCaseSensitivity();

/// The target of the symbolic link `path` as the link stores it (relative targets stay
/// relative); empty when `path` is no link or cannot be read.
QString linkTarget(const QString& path);

/// Bytes that the current user may still write on the volume that holds `path` (an existing
/// folder or file); -1 when the system cannot tell.
qint64 freeBytes(const QString& path);

} // namespace FilePlatform
