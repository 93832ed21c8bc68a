// Times the apply steps of a finished download, backup and replacement, on a prepared installation:
// INSTALL/temp/ holds the downloaded files, INSTALL/ the installed ones. The product's own log file
// is written (INSTALL/logs/update.log) so that its cost is part of the figure. Prints the seconds
// taken on standard output.
//
//   bench_apply INSTALL
#include "apply/fileoperationmanager.h"
#include "apply/updateapplier.h"
#include "log/logger.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_apply INSTALL\n");
        return 2;
    }
    const QString appDir = QDir(QFile::decodeName(argv[1])).absolutePath() + QLatin1Char('/');
    QDir().mkpath(appDir + QStringLiteral("logs"));
    Logger::init((appDir + QStringLiteral("logs/update.log")).toStdString());

    CFileOperationManager fileManager;
    CUpdateApplier applier(appDir, appDir + QStringLiteral("temp/"), appDir + QStringLiteral("backup/"),
                           &fileManager);
    QElapsedTimer timer;
    timer.start();
    const bool applied = applier.backupFiles() && applier.replaceFiles();
    const qint64 elapsedNs = timer.nsecsElapsed();
    Logger::shutdown();

    if (!applied) {
        std::fprintf(stderr, "apply failed: %s\n", qPrintable(applier.lastError()));
        return 1;
    }
    std::printf("BENCH_SECONDS=%.6f\n", double(elapsedNs) / 1e9);
    return 0;
}
