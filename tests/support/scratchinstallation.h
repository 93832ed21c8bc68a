#pragma once

#include "support/processes.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

/// A throw-away installation folder with the built update.exe copied in, for whole runs.
class ScratchInstallation
{
public:
    /// How update.exe gets into the installation. A hard link saves copying megabytes for runs
    /// that never change the program file; anything that might replace it needs the copy.
    enum class Updater
    {
        Copied,
        Linked
    };

    explicit ScratchInstallation(Updater updater = Updater::Copied);

    bool isValid() const { return m_dir.isValid(); }
    /// Installation folder, without trailing "/".
    QString path() const { return m_dir.path(); }
    QString filePath(const QString& relative) const { return m_dir.filePath(relative); }
    QString updaterPath() const { return filePath(QStringLiteral("update.exe")); }

    /// Writes system.cfg from "Section/Key" -> value pairs; General keys go to [%General].
    void writeConfig(const QMap<QString, QString>& values);
    /// A configuration that reaches no update service and has HTTP disabled.
    static QMap<QString, QString> offlineConfig();

    bool writeFile(const QString& relative, const QByteArray& content);
    QByteArray readFile(const QString& relative) const;
    bool exists(const QString& relative) const;
    /// Relative paths of every file below the installation (or below `relative`), sorted.
    QStringList listFiles(const QString& relative = QString()) const;

    /// Writes an executable shell script that records its arguments in `markerRelative`.
    bool writeMarkerHost(const QString& scriptRelative, const QString& markerRelative);

    ProcessResult runUpdater(const QStringList& arguments, int timeoutMs = 30000) const;
    /// Runs update.exe until `marker` appears in its output (then ends it), it exits, or the
    /// timeout passes. For runs that keep a window open, such as a failed download.
    ProcessResult runUpdaterUntil(const QStringList& arguments, const QByteArray& marker,
                                  int timeoutMs = 30000) const;

private:
    QTemporaryDir m_dir;
};
