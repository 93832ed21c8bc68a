#include "support/productresources.h"

#include "support/scratchinstallation.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLibraryInfo>
#include <QResource>

bool registerProductResources()
{
    const QString background = QStringLiteral(":/res/bk.png");
    if (QFile::exists(background)) {
        return true;
    }
    const QString rcc = QLibraryInfo::location(QLibraryInfo::BinariesPath) + QStringLiteral("/rcc");
    const QString output =
        QDir::tempPath() +
        QStringLiteral("/updater-test-resources-%1.rcc").arg(QCoreApplication::applicationPid());
    const QString qrc = QStringLiteral(UPDATER_SOURCE_DIR) + QStringLiteral("/res/res.qrc");
    const ProcessResult result = runProcess(
        rcc, {QStringLiteral("-binary"), qrc, QStringLiteral("-o"), output}, QDir::tempPath(), 30000);
    const bool registered = result.finished && result.exitCode == 0 && QResource::registerResource(output);
    // The registered file is mapped (or read) by now; on the systems the tests run on its name
    // can go at once.
    QFile::remove(output);
    return registered && QFile::exists(background);
}
