#include "support/scratchinstallation.h"

#include "support/files.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <filesystem>

ScratchInstallation::ScratchInstallation(Updater updater)
{
    const QString built = builtProgram(QStringLiteral("update.exe"));
    std::error_code error;
    if (updater == Updater::Linked) {
        std::filesystem::create_hard_link(QFile::encodeName(built).toStdString(),
                                          QFile::encodeName(updaterPath()).toStdString(), error);
    }
    if (updater == Updater::Copied || error) {
        QFile::copy(built, updaterPath());
    }
}

void ScratchInstallation::writeConfig(const QMap<QString, QString>& values)
{
    QMap<QString, QStringList> sections;
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        const QString section = it.key().section(QLatin1Char('/'), 0, 0);
        const QString key = it.key().section(QLatin1Char('/'), 1);
        sections[section == QLatin1String("General") ? QStringLiteral("%General") : section].append(
            key + QLatin1Char('=') + it.value());
    }
    QByteArray text;
    for (auto it = sections.cbegin(); it != sections.cend(); ++it) {
        text += "[" + it.key().toUtf8() + "]\n" + it.value().join(QLatin1Char('\n')).toUtf8() + "\n";
    }
    writeFile(QStringLiteral("system.cfg"), text);
}

QMap<QString, QString> ScratchInstallation::offlineConfig()
{
    return {
        {QStringLiteral("Update/HostExe"), QStringLiteral("host.sh")},
        {QStringLiteral("Update/UpdateHelperExe"), QStringLiteral("update-helper")},
        {QStringLiteral("Update/UpdateExe"), QStringLiteral("update.exe")},
        {QStringLiteral("Update/HttpEnable"), QStringLiteral("false")},
        {QStringLiteral("Server/UpdateServer"), QStringLiteral("127.0.0.1")},
        {QStringLiteral("Server/UpdatePort"), QStringLiteral("1")},
        {QStringLiteral("General/Version"), QStringLiteral("1.0")},
        {QStringLiteral("Paths/Backup"), QStringLiteral("backup/")},
        {QStringLiteral("Paths/Temp"), QStringLiteral("temp/")},
        {QStringLiteral("Paths/Log"), QStringLiteral("logs/")},
    };
}

bool ScratchInstallation::writeFile(const QString& relative, const QByteArray& content)
{
    return ::writeFile(filePath(relative), content);
}

QByteArray ScratchInstallation::readFile(const QString& relative) const
{
    return ::readFile(filePath(relative));
}

bool ScratchInstallation::exists(const QString& relative) const
{
    return QFileInfo::exists(filePath(relative));
}

QStringList ScratchInstallation::listFiles(const QString& relative) const
{
    const QDir base(path());
    QStringList files;
    QDirIterator it(filePath(relative), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        files.append(base.relativeFilePath(it.next()));
    }
    files.sort();
    return files;
}

bool ScratchInstallation::writeMarkerHost(const QString& scriptRelative, const QString& markerRelative)
{
    const QByteArray script = "#!/bin/sh\necho \"$@\" > '" + filePath(markerRelative).toUtf8() + "'\n";
    if (!writeFile(scriptRelative, script)) {
        return false;
    }
    return QFile::setPermissions(filePath(scriptRelative), QFile::ReadOwner | QFile::WriteOwner |
                                                               QFile::ExeOwner | QFile::ExeGroup |
                                                               QFile::ExeOther);
}

ProcessResult ScratchInstallation::runUpdater(const QStringList& arguments, int timeoutMs) const
{
    return runProcess(updaterPath(), arguments, path(), timeoutMs);
}

ProcessResult ScratchInstallation::runUpdaterUntil(const QStringList& arguments, const QByteArray& marker,
                                                   int timeoutMs) const
{
    return runProcessUntil(updaterPath(), arguments, path(), marker, timeoutMs);
}
