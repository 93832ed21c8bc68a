#pragma once

#include "apply/applyfolders.h"
#include "support/files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

/// A throw-away installation folder "inst/" with its temporary folder "inst/temp/" and backup
/// folder "inst/backup/", for in-process tests of the apply steps. Paths are relative to "inst/".
class ApplyFixture
{
public:
    ApplyFixture()
    {
        m_folders.appDir = m_dir.filePath(QStringLiteral("inst")) + QLatin1Char('/');
        m_folders.tempDir = m_folders.appDir + QStringLiteral("temp/");
        m_folders.backupDir = m_folders.appDir + QStringLiteral("backup/");
        QDir().mkpath(m_folders.appDir);
    }

    const ApplyFolders& folders() const { return m_folders; }
    QString path(const QString& relative) const { return m_folders.appDir + relative; }
    /// A path beside the installation folder, outside it.
    QString outside(const QString& relative) const { return m_dir.filePath(relative); }

    bool write(const QString& relative, const QByteArray& content) const
    {
        return writeFile(path(relative), content);
    }

    QByteArray read(const QString& relative) const
    {
        QFile file(path(relative));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

    bool exists(const QString& relative) const { return QFileInfo::exists(path(relative)); }
    bool isFolder(const QString& relative) const { return QFileInfo(path(relative)).isDir(); }
    bool makeFolder(const QString& relative) const { return QDir().mkpath(path(relative)); }

private:
    QTemporaryDir m_dir;
    ApplyFolders m_folders;
};
