#include "support/applydriver.h"

#include "config/configmanager.h"
#include "config/confignames.h"
#include "control/controler.h"
#include "log/logger.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <cstring>
#include <filesystem>

namespace ApplyDriver {

bool runIfRequested(int argc, char** argv, int& exitCode)
{
    bool requested = false;
    for (int i = 1; i < argc; ++i) {
        requested = requested || std::strcmp(argv[i], driverSwitch) == 0;
    }
    if (!requested) {
        return false;
    }
    QApplication app(argc, argv);
    const QString log = QCoreApplication::applicationDirPath() + QLatin1Char('/') +
                        CConfigManager::instance().getLogDir() + QLatin1String(ConfigNames::LogFile);
    Logger::init(log.toUtf8().toStdString());
    Logger::info("apply driver started");

    CControler controller;
    if (!controller.init()) {
        exitCode = 1;
        return true;
    }
    controller.parseArguments({});
    controller.onUpdateResult(true);
    exitCode = controller.success() ? 0 : 2;
    return true;
}

QString install(const ScratchInstallation& installation)
{
    const QString driver = installation.filePath(QLatin1String(driverName));
    if (!QFileInfo::exists(driver)) {
        // A hard link is as good as a copy (the program finds its folder from the path it was
        // started by) and saves copying megabytes per run; other file systems need the copy.
        std::error_code error;
        std::filesystem::create_hard_link(
            QFile::encodeName(QCoreApplication::applicationFilePath()).toStdString(),
            QFile::encodeName(driver).toStdString(), error);
        if (error) {
            QFile::copy(QCoreApplication::applicationFilePath(), driver);
        }
    }
    return driver;
}

ProcessResult run(const ScratchInstallation& installation, const QMap<QString, QString>& environment,
                  int timeoutMs)
{
    const QString driver = install(installation);
    return runProcessWithEnvironment(driver, {QLatin1String(driverSwitch)}, installation.path(), environment,
                                     timeoutMs);
}

} // namespace ApplyDriver
