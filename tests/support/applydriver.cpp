#include "support/applydriver.h"

#include "config/configmanager.h"
#include "config/confignames.h"
#include "control/controler.h"
#include "log/logger.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

#include <cstring>
#include <filesystem>

namespace ApplyDriver {

namespace {

/// Prints what the window left open shows, one "window text: " line per label, then clicks its
/// cancel button as a user would. Returns `exitCode` when that ends the program, 3 when the
/// window stays.
int closeWindowWithItsButton(QApplication& app, int exitCode)
{
    QWidget* window = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible()) {
            window = widget;
        }
    }
    for (const QLabel* label : window->findChildren<QLabel*>()) {
        std::printf("window text: %s\n", label->text().toUtf8().constData());
    }
    std::fflush(stdout);
    auto* cancel = window->findChild<QPushButton*>(QStringLiteral("pushButton_cancel"));
    QTimer::singleShot(0, cancel, &QPushButton::click);
    QTimer::singleShot(5000, &app, [] { QCoreApplication::exit(3); });
    return app.exec() == 3 ? 3 : exitCode;
}

} // namespace

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
    if (controller.isAnyWindowVisible()) {
        exitCode = closeWindowWithItsButton(app, exitCode);
    }
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
