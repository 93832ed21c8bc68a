#include "apply/filesystem.h"

#include "apply/faultswitch.h"
#include "apply/syncbatch.h"
#include "platform/fileplatform.h"
#include "platform/operationrecord.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

namespace {

/// Makes the written data of `file` durable now, or hands it to the open batch.
bool syncWritten(QFile& file)
{
    SyncBatch* batch = SyncBatch::current();
    if (batch == nullptr) {
        return FilePlatform::syncFile(file);
    }
    FilePlatform::startWriteback(file);
    batch->addFile(file.fileName());
    return true;
}

/// Makes the entries of `folder` durable now, or hands it to the open batch.
void syncEntries(const QString& folder)
{
    if (SyncBatch* batch = SyncBatch::current()) {
        batch->addFolder(folder);
    } else {
        FilePlatform::syncFolder(folder);
    }
}

/// Tells the test-only record what `file` holds now that it is written. Always true, so that it
/// stands in the chain of a write's steps.
bool recordWritten(QFile& file)
{
    if (OperationRecord::isEnabled() && file.flush()) {
        QFile written(file.fileName());
        OperationRecord::fileWritten(file.fileName(),
                                     written.open(QIODevice::ReadOnly) ? written.readAll() : QByteArray());
    }
    return true;
}

/// Everything below `folder`, the deepest first, for the test-only record of a recursive removal.
QStringList recordedTree(const QString& folder)
{
    QStringList paths;
    if (!OperationRecord::isEnabled()) {
        return paths;
    }
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        paths.prepend(it.next());
    }
    return paths;
}

void recordRemovedTree(const QStringList& paths)
{
    for (const QString& path : paths) {
        if (!QFileInfo(path).isSymLink() && !QFileInfo::exists(path)) {
            OperationRecord::fileRemoved(path);
        }
    }
}

constexpr qint64 CopyChunkSize = qint64{256} * 1024;

bool copyContent(QFile& in, QFile& out)
{
    QByteArray chunk;
    while (!in.atEnd()) {
        chunk = in.read(CopyChunkSize);
        if (chunk.isEmpty() && in.error() != QFileDevice::NoError) {
            return false;
        }
        if (out.write(chunk) != chunk.size()) {
            return false;
        }
    }
    return true;
}

/// Copies the link `source` as a link with the same stored target, so that a backup restores a
/// link and not a copy of what it pointed to.
bool copyLink(const QString& source, const QString& destination)
{
    const QString target = FilePlatform::linkTarget(source);
    if (target.isEmpty() || QFileInfo(destination).isSymLink() || QFileInfo::exists(destination) ||
        !QFile::link(target, destination)) {
        return false;
    }
    OperationRecord::linkMade(destination, target);
    syncEntries(FileSystem::parentFolder(destination));
    FaultSwitch::fileOperationDone();
    return true;
}

} // namespace

namespace FileSystem {

QFileInfoList listEntries(const QString& folder, Qt::CaseSensitivity sorting)
{
    const QDir dir(folder);
    if (!dir.exists()) {
        return {};
    }
    const QDir::SortFlags sort =
        sorting == Qt::CaseInsensitive ? (QDir::Name | QDir::IgnoreCase) : QDir::Name;
    return dir.entryInfoList(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot, sort);
}

QFileInfoList listAllEntries(const QString& folder)
{
    return QDir(folder).entryInfoList(
        QDir::Dirs | QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

bool exists(const QString& path)
{
    return QFileInfo::exists(path);
}

bool isFolder(const QString& path)
{
    return QFileInfo(path).isDir();
}

bool makePath(const QString& folder)
{
    if (isFolder(folder)) {
        return true;
    }
    QStringList missing;
    for (QString level = QDir::cleanPath(folder); !exists(level) && !QFileInfo(level).isSymLink();
         level = parentFolder(level)) {
        missing.prepend(level);
    }
    const bool made = QDir().mkpath(folder);
    if (made) {
        // Each new level is an entry in the level above: an unflushed one would take everything
        // below it along in a power cut.
        for (const QString& level : qAsConst(missing)) {
            OperationRecord::folderMade(level);
            syncEntries(parentFolder(level));
        }
        FaultSwitch::fileOperationDone();
    }
    return made;
}

bool copyFile(const QString& source, const QString& destination)
{
    if (QFileInfo(source).isDir()) {
        return false;
    }
    if (QFileInfo(source).isSymLink()) {
        return copyLink(source, destination);
    }
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly)) {
        return false;
    }
    QFile out(destination);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        return false;
    }
    const bool copied = copyContent(in, out) && out.setPermissions(in.permissions()) && recordWritten(out) &&
                        syncWritten(out);
    out.close();
    if (!copied || out.error() != QFileDevice::NoError) {
        if (out.remove()) {
            OperationRecord::fileRemoved(destination);
        }
        return false;
    }
    syncEntries(parentFolder(destination));
    FaultSwitch::fileOperationDone();
    return true;
}

bool sameContent(const QString& first, const QString& second)
{
    const QFileInfo firstInfo(first);
    const QFileInfo secondInfo(second);
    if (!firstInfo.isFile() || !secondInfo.isFile() || firstInfo.size() != secondInfo.size()) {
        return false;
    }
    QFile a(first);
    QFile b(second);
    if (!a.open(QIODevice::ReadOnly) || !b.open(QIODevice::ReadOnly)) {
        return false;
    }
    while (!a.atEnd()) {
        const QByteArray chunk = a.read(CopyChunkSize);
        if (chunk.isEmpty() || chunk != b.read(chunk.size())) {
            return false;
        }
    }
    return b.atEnd();
}

void flushExistingFile(const QString& path)
{
    FilePlatform::syncPath(path);
    syncEntries(parentFolder(path));
}

bool removeFile(const QString& path)
{
    if (QFileInfo(path).isDir()) {
        return false;
    }
    const bool removed = QFile::remove(path);
    if (removed) {
        OperationRecord::fileRemoved(path);
        syncEntries(parentFolder(path));
        FaultSwitch::fileOperationDone();
    }
    return removed;
}

bool removeEmptyFolder(const QString& folder)
{
    const bool removed = QDir().rmdir(folder);
    if (removed) {
        OperationRecord::folderRemoved(folder);
        syncEntries(parentFolder(QDir::cleanPath(folder)));
        FaultSwitch::fileOperationDone();
    }
    return removed;
}

bool removeFolderRecursively(const QString& folder)
{
    // A link in the folder's place goes, not what it leads to; links inside are removed as
    // entries by QDir::removeRecursively and never followed.
    const QString cleaned = QDir::cleanPath(folder);
    if (QFileInfo(cleaned).isSymLink()) {
        const bool removed = QFile::remove(cleaned);
        if (removed) {
            OperationRecord::fileRemoved(cleaned);
        }
        syncEntries(parentFolder(cleaned));
        FaultSwitch::fileOperationDone();
        return removed;
    }
    QDir dir(folder);
    if (!dir.exists()) {
        return true;
    }
    const QStringList recorded = recordedTree(cleaned);
    const bool removed = dir.removeRecursively();
    recordRemovedTree(recorded);
    if (removed) {
        OperationRecord::folderRemoved(cleaned);
    }
    syncEntries(parentFolder(QDir::cleanPath(folder)));
    FaultSwitch::fileOperationDone();
    return removed;
}

bool writeFileAtomically(const QString& path, const QByteArray& content)
{
    if (exists(path)) {
        return false;
    }
    const QString partial = unfinishedWritePath(path);
    QFile file(partial);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return false;
    }
    const bool written =
        file.write(content) == content.size() && recordWritten(file) && FilePlatform::syncFile(file);
    file.close();
    if (!written || file.error() != QFileDevice::NoError || !QFile::rename(partial, path)) {
        QFile::remove(partial);
        return false;
    }
    OperationRecord::renamed(partial, path);
    FilePlatform::syncFolder(parentFolder(path));
    FaultSwitch::fileOperationDone();
    return true;
}

QString unfinishedWritePath(const QString& path)
{
    return path + QStringLiteral(".part");
}

bool removeUnfinishedWrite(const QString& path)
{
    const QString partial = unfinishedWritePath(path);
    return !QFileInfo(partial).isFile() || removeFile(partial);
}

QString parentFolder(const QString& path)
{
    QString trimmed = path;
    while (trimmed.size() > 1 && trimmed.endsWith(QLatin1Char('/'))) {
        trimmed.chop(1);
    }
    const int slash = trimmed.lastIndexOf(QLatin1Char('/'));
    if (slash < 0) {
        return QStringLiteral(".");
    }
    return slash == 0 ? QStringLiteral("/") : trimmed.left(slash);
}

} // namespace FileSystem
