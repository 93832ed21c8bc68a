#include "apply/resumestore.h"

#include "apply/pathguard.h"
#include "formats/md5list.h"
#include "formats/releasemanifest.h"
#include "formats/sha256hash.h"
#include "log/logger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

const QByteArray RecordHeader("UpdateResume 1");

/// Removes a file or a link, never what a link leads to.
void removeEntry(const QFileInfo& entry)
{
    if (entry.isDir() && !entry.isSymLink()) {
        QDir(entry.filePath()).removeRecursively();
    } else {
        QFile::remove(entry.filePath());
    }
}

} // namespace

ResumeStore::ResumeStore(const QString& tempDir) : m_tempDir(tempDir) {}

QString ResumeStore::recordPath() const
{
    return m_tempDir + QLatin1String(RecordName);
}

bool ResumeStore::isKept() const
{
    Binding binding;
    return readRecord(binding);
}

bool ResumeStore::readRecord(Binding& binding) const
{
    const QFileInfo info(recordPath());
    // A link in the record's place is not the updater's record.
    if (info.isSymLink() || !info.isFile() || info.size() > MaxRecordBytes) {
        return false;
    }
    QFile file(info.filePath());
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QList<QByteArray> lines = file.read(MaxRecordBytes).split('\n');
    if (lines.isEmpty() || lines.first().trimmed() != RecordHeader) {
        return false;
    }
    bool hasChannel = false;
    bool hasVersion = false;
    bool hasFolder = false;
    for (const QByteArray& line : lines.mid(1)) {
        const int equals = line.indexOf('=');
        const QByteArray key = line.left(equals);
        const QString value = QString::fromUtf8(line.mid(equals + 1)).remove(QLatin1Char('\r'));
        if (equals < 0) {
            continue;
        }
        if (key == "channel") {
            binding.channel = value;
            hasChannel = true;
        } else if (key == "version") {
            binding.version = value;
            hasVersion = true;
        } else if (key == "folder") {
            binding.folder = value;
            hasFolder = true;
        }
    }
    return hasChannel && hasVersion && hasFolder;
}

bool ResumeStore::writeRecord(const Binding& binding)
{
    // A rename puts the record in place whole, and replaces a link there instead of writing
    // through it.
    QDir().mkpath(m_tempDir);
    QSaveFile file(recordPath());
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    const QString text = QStringLiteral("channel=%1\nversion=%2\nfolder=%3\n")
                             .arg(binding.channel, binding.version, binding.folder);
    file.write(RecordHeader + '\n' + text.toUtf8());
    return file.commit();
}

bool ResumeStore::open(const Binding& binding)
{
    Binding kept;
    const bool hadStore = readRecord(kept);
    const bool resumed = hadStore && kept == binding;
    if (hadStore && !resumed) {
        Logger::info(QStringLiteral("已保留的下载属于其他版本(%1)，丢弃:").arg(kept.version) + m_tempDir);
        emptyFolder();
    }
    // Newline characters in the texts would forge keys; such a release is not resumed.
    const bool writable = !(binding.version + binding.folder + binding.channel).contains(QLatin1Char('\n'));
    if (!writable || !writeRecord(binding)) {
        forget();
        Logger::warn(QStringLiteral("无法记录下载以便续传:") + recordPath());
        return false;
    }
    if (resumed) {
        Logger::info(QStringLiteral("继续上次未完成的下载，版本:") + binding.version);
    }
    return resumed;
}

bool ResumeStore::reuse(const QString& relativePath, const QString& md5, const ReleaseManifestFile* listed)
{
    const QString path = m_tempDir + relativePath;
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink()) {
        return false;
    }
    // Only a plain file inside the folder is ever taken; a link or folder in its place goes (the
    // link itself, never what it leads to).
    const bool inside = PathGuard(m_tempDir).contains(info.absolutePath());
    bool matches = inside && info.isFile() && !info.isSymLink() && (listed || !md5.isEmpty());
    if (matches && listed) {
        matches = info.size() == listed->size && Sha256Hash::ofFile(path) == listed->sha256;
    }
    if (matches && !md5.isEmpty()) {
        matches = fileMd5(path).compare(md5, Qt::CaseInsensitive) == 0;
    }
    if (matches) {
        Logger::info(QStringLiteral("使用已下载并校验通过的文件:") + path);
        return true;
    }
    if (inside) {
        removeEntry(info);
        Logger::info(QStringLiteral("已保留的文件校验不符，重新下载:") + path);
    }
    return false;
}

void ResumeStore::retainOnly(const QSet<QString>& keep)
{
    if (QFileInfo(m_tempDir).isDir()) {
        QSet<QString> kept = keep;
        kept.insert(QLatin1String(RecordName));
        prune(m_tempDir, QString(), kept);
    }
}

bool ResumeStore::prune(const QString& folder, const QString& prefix, const QSet<QString>& keep)
{
    bool empty = true;
    const QFileInfoList entries =
        QDir(folder).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo& entry : entries) {
        const QString relative = prefix + entry.fileName();
        if (entry.isDir() && !entry.isSymLink()) {
            if (prune(entry.filePath(), relative + QLatin1Char('/'), keep)) {
                QDir(folder).rmdir(entry.fileName());
            } else {
                empty = false;
            }
        } else if (!entry.isSymLink() && keep.contains(relative)) {
            empty = false;
        } else {
            removeEntry(entry);
        }
    }
    return empty;
}

void ResumeStore::emptyFolder()
{
    const QFileInfoList entries =
        QDir(m_tempDir).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo& entry : entries) {
        removeEntry(entry);
    }
}

void ResumeStore::forget()
{
    Binding binding;
    if (readRecord(binding)) {
        QFile::remove(recordPath());
    }
}
