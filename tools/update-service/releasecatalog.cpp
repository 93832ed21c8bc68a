#include "releasecatalog.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>

#include <algorithm>

namespace {

bool fits(const QString& text, int fieldSize)
{
    return text.toUtf8().size() <= fieldSize - 1;
}

} // namespace

bool ReleaseCatalog::load(const QString& root, QString& error)
{
    const QDir base(root);
    if (!base.exists()) {
        error = QStringLiteral("release folder does not exist: ") + root;
        return false;
    }
    QStringList relativePaths;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        relativePaths.append(base.relativeFilePath(it.next()));
    }
    std::sort(relativePaths.begin(), relativePaths.end());
    m_entries.clear();
    for (const QString& relative : qAsConst(relativePaths)) {
        const int slash = relative.lastIndexOf(QLatin1Char('/'));
        Entry entry;
        entry.request.filePath = slash < 0 ? QString() : relative.left(slash);
        entry.request.fileName = relative.mid(slash + 1);
        if (!fits(entry.request.filePath, TcpProtocol::FilePathFieldSize) ||
            !fits(entry.request.fileName, TcpProtocol::FileNameFieldSize)) {
            qWarning() << "skipped, path too long for the protocol:" << relative;
            continue;
        }
        entry.relativePath = relative;
        entry.absolutePath = base.filePath(relative);
        m_entries.append(entry);
    }
    return true;
}

FileTransferRequest ReleaseCatalog::splitRecordText(const QString& record)
{
    return FileTransferRequest{record.section(QLatin1Char('|'), 0, 0), record.section(QLatin1Char('|'), 1)};
}

void ReleaseCatalog::addForgedRecord(const QString& record)
{
    Entry entry;
    entry.request = splitRecordText(record);
    entry.relativePath = entry.request.filePath + QLatin1Char('/') + entry.request.fileName;
    m_entries.append(entry);
}

QVector<FileTransferRequest> ReleaseCatalog::requests() const
{
    QVector<FileTransferRequest> result;
    result.reserve(m_entries.size());
    for (const Entry& entry : m_entries) {
        result.append(entry.request);
    }
    return result;
}

const ReleaseCatalog::Entry* ReleaseCatalog::find(const FileTransferRequest& request) const
{
    for (const Entry& entry : m_entries) {
        if (entry.request.filePath == request.filePath && entry.request.fileName == request.fileName) {
            return &entry;
        }
    }
    return nullptr;
}

const ReleaseCatalog::Entry* ReleaseCatalog::findByRelativePath(const QString& relativePath) const
{
    for (const Entry& entry : m_entries) {
        if (entry.relativePath == relativePath) {
            return &entry;
        }
    }
    return nullptr;
}
