#pragma once

#include <QByteArray>
#include <QString>

/// Test-only record of the changes an apply makes to the disk, for the power-cut model.
///
/// When the environment variable UPDATER_TEST_RECORD_FILE_OPS names a file, every call below
/// appends one line to it, in the order the calls happen (flushes from the batch's threads
/// included): the operation, the path relative to the application folder and a field that is
/// empty but for a written file (its data in base64), a rename (the new path) and a link (its
/// target), separated by tabs. The variable is
/// read once; without it every call returns at once and nothing is recorded.
namespace OperationRecord {

constexpr const char* variableName = "UPDATER_TEST_RECORD_FILE_OPS";

bool isEnabled();

/// A new file at `path` with its whole data written (not yet flushed).
void fileWritten(const QString& path, const QByteArray& data);
void folderMade(const QString& path);
void linkMade(const QString& path, const QString& target);
void renamed(const QString& from, const QString& to);
/// A file or a link removed.
void fileRemoved(const QString& path);
void folderRemoved(const QString& path);
/// The data of the file at `path` reached the device.
void fileFlushed(const QString& path);
/// The entries of `folder` reached the device.
void folderFlushed(const QString& folder);

} // namespace OperationRecord
