#include "platform/operationrecord.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdio>
#include <mutex>

namespace {

/// The open record file, or nullptr when recording is off.
std::FILE* recordFile()
{
    static std::FILE* const file = [] {
        const QByteArray path = qgetenv(OperationRecord::variableName);
        return path.isEmpty() ? nullptr : std::fopen(path.constData(), "ab");
    }();
    return file;
}

QString relative(const QString& path)
{
    static const QDir root(QCoreApplication::applicationDirPath());
    return root.relativeFilePath(QDir::cleanPath(path));
}

void append(const char* operation, const QString& path, const QByteArray& field = {})
{
    std::FILE* file = recordFile();
    if (file == nullptr) {
        return;
    }
    const QByteArray line = QByteArray(operation) + '\t' + relative(path).toUtf8() + '\t' + field + '\n';
    // The batch flushes from several threads; lines must neither interleave nor be lost in a kill.
    static std::mutex lock;
    const std::lock_guard<std::mutex> guard(lock);
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), file);
    std::fflush(file);
}

} // namespace

namespace OperationRecord {

bool isEnabled()
{
    return recordFile() != nullptr;
}

void fileWritten(const QString& path, const QByteArray& data)
{
    append("write", path, data.toBase64());
}

void folderMade(const QString& path)
{
    append("mkdir", path);
}

void linkMade(const QString& path, const QString& target)
{
    append("link", path, target.toUtf8());
}

void renamed(const QString& from, const QString& to)
{
    append("rename", from, relative(to).toUtf8());
}

void fileRemoved(const QString& path)
{
    append("remove", path);
}

void folderRemoved(const QString& path)
{
    append("rmdir", path);
}

void fileFlushed(const QString& path)
{
    append("flush", path);
}

void folderFlushed(const QString& folder)
{
    append("flushdir", folder);
}

} // namespace OperationRecord
