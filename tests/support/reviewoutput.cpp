#include "support/reviewoutput.h"

#include <QDir>

void initProjectResources()
{
    // The resources live in a static library: without this reference the linker drops them.
    Q_INIT_RESOURCE(res);
}

QString reviewOutputPath(const QString& fileName)
{
    const QString dir = QStringLiteral(UPDATER_BIN_DIR "/../review");
    QDir().mkpath(dir);
    return QDir(dir).absoluteFilePath(fileName);
}
