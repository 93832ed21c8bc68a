// The peer of the no-update check: the least a Qt Widgets program linked like update.exe does to
// fetch update.ini. It builds its QApplication, fetches the address with a QNetworkAccessManager
// made the way update.exe makes it, and exits 0 when an answer with a body arrived.
//
//   bench_qtcheck URL
#include "http/networkaccess.h"

#include <QApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (app.arguments().size() != 2) {
        std::fprintf(stderr, "usage: bench_qtcheck URL\n");
        return 2;
    }
    QNetworkAccessManager* manager = NetworkAccess::createManager(&app);
    QNetworkReply* reply = manager->get(QNetworkRequest(QUrl(app.arguments().at(1))));
    int exitCode = 1;
    QObject::connect(reply, &QNetworkReply::finished, &app, [reply, &exitCode] {
        exitCode = reply->error() == QNetworkReply::NoError && !reply->readAll().isEmpty() ? 0 : 1;
        QCoreApplication::quit();
    });
    // A server that never answers must not hold the benchmark.
    QTimer::singleShot(30000, &app, &QCoreApplication::quit);
    app.exec();
    return exitCode;
}
