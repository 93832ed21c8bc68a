// Times generateMd5List over one folder, as the HTTP channel runs it on an installation that has no
// md5.txt. Prints the seconds taken on standard output.
//
//   bench_md5list FOLDER
#include "formats/md5list.h"
#include "log/logger.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_md5list FOLDER\n");
        return 2;
    }
    const QString folder = QFile::decodeName(argv[1]) + QLatin1Char('/');
    // An earlier run's list would otherwise be listed (and hashed) as one more file.
    QFile::remove(folder + QStringLiteral("md5.txt"));

    QElapsedTimer timer;
    timer.start();
    generateMd5List(folder);
    const qint64 elapsedNs = timer.nsecsElapsed();

    if (!QFile::exists(folder + QStringLiteral("md5.txt"))) {
        std::fprintf(stderr, "no md5.txt was written\n");
        return 1;
    }
    std::printf("BENCH_SECONDS=%.6f\n", double(elapsedNs) / 1e9);
    return 0;
}
