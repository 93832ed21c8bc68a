#include "tcp/filedatawriter.h"

#include "apply/pathguard.h"
#include "config/configmanager.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstring>

namespace {

bool isSafeSegmentList(const QString& text, bool allowEmpty)
{
    if (text.isEmpty()) {
        return allowEmpty;
    }
    // Backslashes separate folders on Windows and a colon starts a drive or a stream name there,
    // so both are refused on every system: the same release must behave the same everywhere.
    if (text.contains(QLatin1Char('\\')) || text.contains(QLatin1Char(':')) ||
        text.startsWith(QLatin1Char('/'))) {
        return false;
    }
    const QStringList segments = text.split(QLatin1Char('/'));
    for (const QString& segment : segments) {
        if (segment == QLatin1String("..")) {
            return false;
        }
    }
    return !text.contains(QChar(0));
}

} // namespace

CFileDataWriter& CFileDataWriter::instance()
{
    static CFileDataWriter writer(CConfigManager::instance(), QCoreApplication::applicationDirPath());
    return writer;
}

CFileDataWriter::CFileDataWriter(const CConfigManager& config, const QString& applicationDir)
    : m_config(config), m_applicationDir(applicationDir)
{
}

CFileDataWriter::~CFileDataWriter() = default;

QString CFileDataWriter::keyOf(const QString& filePath, const QString& fileName)
{
    return filePath + QLatin1Char('_') + fileName;
}

QString CFileDataWriter::temporaryFolder() const
{
    const QString configured = m_config.getTempDirWithSlash();
    // The same folder as for the controller and the replacement step: below the application
    // folder. A value that would leave it (absolute, climbing out) names no folder at all.
    if (!PathGuard::isRelativeInside(configured)) {
        return QString();
    }
    return m_applicationDir + QLatin1Char('/') + configured;
}

bool CFileDataWriter::isSafeTarget(const QString& filePath, const QString& fileName)
{
    if (fileName.isEmpty() || fileName.contains(QLatin1Char('/')) || fileName == QLatin1String(".") ||
        fileName == QLatin1String("..")) {
        return false;
    }
    return isSafeSegmentList(filePath, true) && isSafeSegmentList(fileName, false);
}

QString CFileDataWriter::targetPath(const QString& filePath, const QString& fileName) const
{
    if (!isSafeTarget(filePath, fileName)) {
        return QString();
    }
    const QString folder = temporaryFolder();
    if (folder.isEmpty()) {
        return QString();
    }
    QString full = folder + filePath + QLatin1Char('/') + fileName;
    // Belt and braces after the text checks: the cleaned path must still lie below the folder.
    const QString cleanFolder = QDir::cleanPath(folder) + QLatin1Char('/');
    if (!QDir::cleanPath(full).startsWith(cleanFolder)) {
        return QString();
    }
    return full;
}

bool CFileDataWriter::isOpen(const QString& filePath, const QString& fileName) const
{
    const auto it = m_files.find(keyOf(filePath, fileName));
    return it != m_files.end() && it->second->isOpen();
}

void CFileDataWriter::beginDownload(bool takeDigests)
{
    m_takeDigests = takeDigests;
    m_digesting = false;
    m_arrived.clear();
}

QString CFileDataWriter::relativeToTemporaryFolder(const QString& fullPath) const
{
    return QDir(temporaryFolder()).relativeFilePath(fullPath);
}

void CFileDataWriter::beginDigests(const QString& fullPath, bool fromStart)
{
    m_arrived.forget(relativeToTemporaryFolder(fullPath));
    m_digesting = m_takeDigests && fromStart;
    m_digestedBytes = 0;
    if (m_digesting) {
        m_md5.reset();
        m_sha256.reset();
    }
}

void CFileDataWriter::queueForDigests(const QByteArray& data)
{
    // A chunk's bytes belong to the receive buffer, which the next frame overwrites: the workers
    // get a copy, in a buffer they are done with where there is one.
    QByteArray copy = m_md5.takeBuffer();
    copy.resize(data.size());
    std::memcpy(copy.data(), data.constData(), std::size_t(data.size()));
    m_md5.addData(copy);
    m_sha256.addData(copy);
    m_digestedBytes += data.size();
}

void CFileDataWriter::recordDigests(const QString& fullPath)
{
    if (!m_digesting) {
        return;
    }
    m_digesting = false;
    ArrivedDigests::File file;
    file.size = m_digestedBytes;
    file.md5 = m_md5.result().toHex();
    file.sha256 = m_sha256.result();
    m_arrived.record(relativeToTemporaryFolder(fullPath), file);
}

void CFileDataWriter::discard(const QString& filePath, const QString& fileName)
{
    m_digesting = false;
    m_files.erase(keyOf(filePath, fileName));
    m_runningPath.clear();
    m_runningName.clear();
}

QFile* CFileDataWriter::runningTransferFile(const QString& key, const QString& filePath,
                                            const QString& fileName) const
{
    // Keys are not unique, so only the very texts whose file was opened last may skip resolving.
    if (filePath != m_runningPath || fileName != m_runningName) {
        return nullptr;
    }
    const auto it = m_files.find(key);
    return it != m_files.end() && it->second->isOpen() ? it->second.get() : nullptr;
}

QFile* CFileDataWriter::startTransferFile(const QString& key, const QString& filePath,
                                          const QString& fileName)
{
    const QString fullPath = targetPath(filePath, fileName);
    if (fullPath.isEmpty()) {
        qWarning() << "Refused to write outside the temporary folder:" << filePath << fileName;
        fail(QStringLiteral("Refused file path outside the temporary folder: ") + filePath +
             QLatin1Char('/') + fileName);
        return nullptr;
    }
    if (!QDir().mkpath(QFileInfo(fullPath).absolutePath())) {
        failWriting("Failed to create directory for file:", fullPath);
        return nullptr;
    }
    const auto kept = m_files.find(key);
    const bool continuesFile = kept != m_files.end() && kept->second->fileName() == fullPath;
    QFile* file = openFor(key, fullPath);
    if (file) {
        beginDigests(fullPath, !continuesFile);
        m_runningPath = filePath;
        m_runningName = fileName;
    }
    return file;
}

QFile* CFileDataWriter::openFor(const QString& key, const QString& fullPath)
{
    auto it = m_files.find(key);
    // Keys are not unique ("a_b" + "c" and "a" + "b_c" share one): never write into another target.
    if (it != m_files.end() && it->second->fileName() != fullPath) {
        m_files.erase(it);
        it = m_files.end();
    }
    if (it == m_files.end()) {
        // A new transfer replaces whatever an earlier run or attempt left under this name; leftover
        // bytes past the new end would otherwise survive in the file.
        auto file = std::make_unique<QFile>(fullPath);
        // Chunks are large and written once each: a buffer in between would only copy them again.
        if (!file->open(QIODevice::ReadWrite | QIODevice::Truncate | QIODevice::Unbuffered)) {
            failWriting("Failed to open file for writing:", fullPath);
            return nullptr;
        }
        it = m_files.emplace(key, std::move(file)).first;
    } else if (!it->second->isOpen()) {
        if (!it->second->open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Unbuffered)) {
            failWriting("Failed to reopen file for writing:", fullPath);
            return nullptr;
        }
    }
    return it->second.get();
}

bool CFileDataWriter::writeChunk(const QString& filePath, const QString& fileName, const QByteArray& data,
                                 bool isLast)
{
    const QString key = keyOf(filePath, fileName);
    QFile* file = runningTransferFile(key, filePath, fileName);
    if (!file) {
        file = startTransferFile(key, filePath, fileName);
        if (!file) {
            return false;
        }
    }
    const QString fullPath = file->fileName();
    const qint64 written = file->write(data);
    if (written != data.size()) {
        return failWriting("Failed to write all data to file:", fullPath,
                           QStringLiteral("Expected: %1 Written: %2").arg(data.size()).arg(written));
    }
    if (m_digesting) {
        queueForDigests(data);
    }
    if (isLast) {
        // A file is only complete when its bytes reached the disk; a failing flush or close is a
        // failed final chunk, not a finished file.
        const bool flushed = file->flush();
        file->close();
        const bool closed = file->error() == QFileDevice::NoError;
        m_files.erase(key);
        m_runningPath.clear();
        m_runningName.clear();
        if (!flushed || !closed) {
            return failWriting("Failed to write all data to file:", fullPath);
        }
        recordDigests(fullPath);
    }
    return true;
}

bool CFileDataWriter::failWriting(const char* what, const QString& path, const QString& detail)
{
    // The file on disk no longer holds what the digests saw.
    m_digesting = false;
    QDebug warning = qWarning();
    warning << what << path;
    if (!detail.isEmpty()) {
        warning.noquote() << detail;
    }
    return fail(QLatin1String(what) + QLatin1Char(' ') + path);
}

bool CFileDataWriter::fail(const QString& error)
{
    m_lastError = error;
    return false;
}
