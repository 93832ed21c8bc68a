#include "support/filesizelimit.h"

#include <QStandardPaths>

namespace FileSizeLimit {

QString wrapper()
{
    const QString bash = QStandardPaths::findExecutable(QStringLiteral("bash"));
    return bash.isEmpty() ? QStringLiteral("/bin/bash") : bash;
}

QStringList arguments(const QString& program, const QStringList& arguments, int limitKiB)
{
    // bash counts the limit in blocks of 1024 bytes.
    const QString script = QStringLiteral("trap '' XFSZ; ulimit -f %1 && exec \"$0\" \"$@\"").arg(limitKiB);
    return QStringList{QStringLiteral("-c"), script, program} + arguments;
}

} // namespace FileSizeLimit
