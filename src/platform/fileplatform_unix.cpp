#include "platform/fileplatform.h"

#include "platform/operationrecord.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

namespace {

bool openAndSync(const QString& path, int flags)
{
    const int fd = ::open(QFile::encodeName(path).constData(), flags);
    if (fd < 0) {
        return false;
    }
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

} // namespace

namespace FilePlatform {

bool syncFile(QFile& file)
{
    const bool synced = file.flush() && ::fsync(file.handle()) == 0;
    if (synced) {
        OperationRecord::fileFlushed(file.fileName());
    }
    return synced;
}

void startWriteback(QFile& file)
{
#ifdef Q_OS_LINUX
    if (file.flush()) {
        ::sync_file_range(file.handle(), 0, 0, SYNC_FILE_RANGE_WRITE);
    }
#else
    file.flush();
#endif
}

bool syncPath(const QString& path)
{
    // A descriptor opened for reading flushes the file's data as well as one opened for writing.
    const bool synced = openAndSync(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (synced) {
        OperationRecord::fileFlushed(path);
    }
    return synced;
}

bool syncFolder(const QString& folder)
{
    const bool synced = openAndSync(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (synced) {
        OperationRecord::folderFlushed(folder);
    }
    return synced;
}

Qt::CaseSensitivity pathCaseSensitivity()
{
    return Qt::CaseSensitive;
}

QString linkTarget(const QString& path)
{
    QByteArray target(4096, '\0');
    const ssize_t length =
        ::readlink(QFile::encodeName(path).constData(), target.data(), static_cast<size_t>(target.size()));
    if (length <= 0 || length >= target.size()) {
        return QString();
    }
    target.truncate(static_cast<int>(length));
    return QFile::decodeName(target);
}

} // namespace FilePlatform
