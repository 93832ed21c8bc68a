#include "app/application.h"

#include "app/singleinstanceguard.h"
#include "config/configmanager.h"
#include "config/confignames.h"
#include "control/controler.h"
#include "log/logger.h"
#include "platform/platform.h"
#include "ui/deferredicon.h"

#include <QApplication>
#include <QIcon>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace {

void startLogging()
{
    const QString path = QCoreApplication::applicationDirPath() + QLatin1Char('/') +
                         CConfigManager::instance().getLogDir() + QLatin1String(ConfigNames::LogFile);
    Logger::init(path);
    Logger::info("Update started");
}

void logArguments(const QStringList& arguments)
{
    Logger::debug("Command Line Arguments:");
    for (int i = 0; i < arguments.size(); ++i) {
        Logger::debug(QStringLiteral("argv[") + QString::number(i) + QStringLiteral("] =") + arguments.at(i));
    }
}

void printInitFailure()
{
    const QJsonObject result{
        {QStringLiteral("success"), false},
        {QStringLiteral("update"), true},
        {QStringLiteral("errormsg"), QStringLiteral("Controller initialization failed")}};
    std::fflush(stdout);
    std::printf("%s\n", QJsonDocument(result).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
}

int runController(QApplication& app)
{
    CControler controller;
    // Checking the installation needs neither windows nor a server.
    if (QCoreApplication::arguments().contains(QLatin1String(ConfigNames::SwitchVerify))) {
        return controller.verifyInstallation() ? 0 : 1;
    }
    if (!controller.init()) {
        if (QCoreApplication::arguments().contains(QLatin1String(ConfigNames::SwitchConsole))) {
            printInitFailure();
        }
        return 1;
    }
    if (!controller.parseArguments(QCoreApplication::arguments())) {
        controller.finish();
        return 0;
    }
    controller.run();
    if (!controller.isAnyWindowVisible()) {
        return 0;
    }
    Logger::debug("a.exec()");
    return app.exec();
}

} // namespace

int runUpdater(int argc, char** argv)
{
    Platform::prepareProcess();
    QApplication app(argc, argv);
    // The embedded icon; a "qrc:" URL would not resolve as a file name for QIcon. It is read
    // when a window first needs it, not before a console check prints its answer.
    QApplication::setWindowIcon(QIcon(new DeferredIconEngine(QStringLiteral(":/res/logo.ico"))));

    startLogging();
    logArguments(QCoreApplication::arguments());

    if (!SingleInstanceGuard::acquire(
            SingleInstanceGuard::baseKey(QCoreApplication::applicationFilePath()))) {
        return 1;
    }
    return runController(app);
}
