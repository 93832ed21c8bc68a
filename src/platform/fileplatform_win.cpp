#include "platform/fileplatform.h"

#include "platform/operationrecord.h"

#include <QFile>
#include <QFileInfo>

#include <io.h>

namespace FilePlatform {

bool syncFile(QFile& file)
{
    // QFile's handle is a C runtime descriptor; _commit flushes it through FlushFileBuffers.
    const bool synced = file.flush() && ::_commit(file.handle()) == 0;
    if (synced) {
        OperationRecord::fileFlushed(file.fileName());
    }
    return synced;
}

void startWriteback(QFile& file)
{
    file.flush();
}

bool syncPath(const QString& path)
{
    // FlushFileBuffers needs a handle that may write.
    QFile file(path);
    return file.open(QIODevice::ReadWrite) && syncFile(file);
}

bool syncFolder(const QString& folder)
{
    // NTFS journals its folder entries; there is no separate flush for them.
    OperationRecord::folderFlushed(folder);
    return true;
}

Qt::CaseSensitivity pathCaseSensitivity()
{
    return Qt::CaseInsensitive;
}

QString linkTarget(const QString& path)
{
    // Qt reads the target of a symbolic link or junction; it is returned as an absolute path.
    return QFileInfo(path).symLinkTarget();
}

} // namespace FilePlatform
