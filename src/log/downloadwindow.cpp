#include "log/downloadwindow.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtGlobal>

#include <ctime>

namespace {

struct Start
{
    QElapsedTimer wallClock;
    std::clock_t cpu = 0;
};

Start& start()
{
    static Start recorded;
    return recorded;
}

QString reportPath()
{
    static const QString path = qEnvironmentVariable(DownloadWindow::variableName);
    return path;
}

} // namespace

void DownloadWindow::started()
{
    if (reportPath().isEmpty()) {
        return;
    }
    start().wallClock.start();
    start().cpu = std::clock();
}

void DownloadWindow::finished(const QString& channel)
{
    if (reportPath().isEmpty() || !start().wallClock.isValid()) {
        return;
    }
    // std::clock() is the CPU time of the whole process, every thread, user and system.
    const double cpuSeconds = double(std::clock() - start().cpu) / CLOCKS_PER_SEC;
    const QJsonObject report{{QStringLiteral("channel"), channel},
                             {QStringLiteral("seconds"), double(start().wallClock.nsecsElapsed()) / 1e9},
                             {QStringLiteral("cpu_seconds"), cpuSeconds}};
    QFile file(reportPath());
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(QJsonDocument(report).toJson(QJsonDocument::Compact));
    }
}
