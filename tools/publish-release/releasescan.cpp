#include "releasescan.h"

#include "releasenames.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QHash>

#include <algorithm>

namespace {

// Sizes travel as unsigned 32-bit numbers over the TCP channel.
constexpr qint64 MaxTcpFileSize = 0xFFFFFFFFLL;

} // namespace

bool ReleaseScan::scan(const QString& sourceDir)
{
    m_files.clear();
    m_skipped.clear();
    m_refusals.clear();
    const QFileInfo source(sourceDir);
    if (!source.isDir()) {
        m_lastError = QStringLiteral("the source %1 is not a folder").arg(sourceDir);
        return false;
    }
    const QString root = source.absoluteFilePath();
    // Hidden and system entries are listed on purpose: they have to be refused, not lost silently.
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        addEntry(root, it.next());
    }
    std::sort(m_files.begin(), m_files.end(),
              [](const ReleaseFile& a, const ReleaseFile& b) { return a.relativePath < b.relativePath; });
    refuseCaseClashes();
    m_skipped.sort();
    m_refusals.sort();
    return true;
}

void ReleaseScan::addEntry(const QString& sourceDir, const QString& path)
{
    const QFileInfo info(path);
    const QString relative = QDir(sourceDir).relativeFilePath(path);
    if (info.isSymLink() && info.isDir()) {
        m_refusals << relative + QStringLiteral(": a link to a folder (copy the folder itself)");
        return;
    }
    if (info.isDir()) {
        return;
    }
    if (!info.isFile()) {
        m_refusals << relative + QStringLiteral(": not a regular file (or a broken link)");
        return;
    }
    if (ReleaseNames::isUpdaterBookkeeping(relative)) {
        m_skipped << relative;
        return;
    }
    const QString reason = ReleaseNames::fileRefusal(relative);
    if (!reason.isEmpty()) {
        m_refusals << relative + QStringLiteral(": ") + reason;
        return;
    }
    if (info.size() > MaxTcpFileSize) {
        m_refusals << relative + QStringLiteral(": larger than the TCP channel carries (4 GiB - 1 byte)");
        return;
    }
    m_files.append({info.absoluteFilePath(), relative, info.size()});
}

void ReleaseScan::refuseCaseClashes()
{
    // Windows file names ignore case: two such files would overwrite each other in an installation.
    QHash<QString, QString> byFoldedPath;
    for (const ReleaseFile& file : qAsConst(m_files)) {
        const QString folded = file.relativePath.toCaseFolded();
        const auto clash = byFoldedPath.constFind(folded);
        if (clash != byFoldedPath.constEnd()) {
            m_refusals << file.relativePath + QStringLiteral(": differs only in case from ") + clash.value();
        } else {
            byFoldedPath.insert(folded, file.relativePath);
        }
    }
}
