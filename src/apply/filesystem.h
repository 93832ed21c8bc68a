#pragma once

#include <QByteArray>
#include <QFileInfoList>
#include <QString>

/// The file-system primitives of the apply steps, with the semantics they rely on: listings hold
/// folders and files (no "." or "..", no hidden or system entries) sorted by name without grouping
/// folders first; a copy never overwrites and reaches the disk before it reports success.
///
/// While a SyncBatch is open, "reaches the disk" and "flushed" below mean: by the time the batch's
/// flush() returns true. writeFileAtomically() always flushes at once.
///
/// Every operation that changes the disk counts towards the test-only FaultSwitch.
namespace FileSystem {

/// Sorted listing of `folder`; empty when it does not exist. `Qt::CaseInsensitive` compares the
/// names in lower case.
QFileInfoList listEntries(const QString& folder, Qt::CaseSensitivity sorting);

/// Every entry of `folder`, hidden and system ones included, for copies that must be whole.
QFileInfoList listAllEntries(const QString& folder);

bool exists(const QString& path);
bool isFolder(const QString& path);

/// Creates `folder` with all missing parents; true when it exists afterwards. Every folder it
/// creates reaches the disk with its entry in the folder above.
bool makePath(const QString& folder);

/// Copies `source` to `destination`, which must not exist yet, keeping the permissions. The data
/// and the new folder entry are flushed to the device before it returns true; a failed copy
/// leaves no file behind. A symbolic link to a file is copied as a link with the same target.
bool copyFile(const QString& source, const QString& destination);

/// True when both paths are files with the same bytes; reads them, writes nothing.
bool sameContent(const QString& first, const QString& second);

/// Flushes the data of the file at `path` and its folder entry, for a file this run did not write
/// but an earlier one that was killed may have, leaving it in the cache only. The data is flushed
/// at once and as far as possible: a file that cannot be opened for it (a running program on
/// Windows) stays as it is.
void flushExistingFile(const QString& path);

/// Removes one file (not a folder); the removal reaches the disk before it returns.
bool removeFile(const QString& path);

/// Removes `folder` only when it is empty; the removal reaches the disk before it returns.
bool removeEmptyFolder(const QString& folder);

/// Removes `folder` with all its contents; true when it does not exist afterwards. Links are
/// removed, never followed, including a link standing in the place of `folder`.
bool removeFolderRecursively(const QString& folder);

/// Writes `content` to a sibling file, flushes it and renames it to `path`, so that `path` is
/// either absent or whole after a crash. `path` must not exist.
bool writeFileAtomically(const QString& path, const QByteArray& content);

/// The sibling file that writeFileAtomically(`path`) writes before renaming it to `path`.
QString unfinishedWritePath(const QString& path);

/// Removes the sibling file that a writeFileAtomically(`path`) cut short by a power loss may have
/// left; true when none is left.
bool removeUnfinishedWrite(const QString& path);

/// The parent folder of `path` ("a/b/c" gives "a/b").
QString parentFolder(const QString& path);

} // namespace FileSystem
