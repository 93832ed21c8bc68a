#include "support/reviewoutput.h"

#include <QDir>

QString reviewOutputPath(const QString& fileName)
{
    const QString dir = QStringLiteral(UPDATER_BIN_DIR "/../review");
    QDir().mkpath(dir);
    return QDir(dir).absoluteFilePath(fileName);
}
