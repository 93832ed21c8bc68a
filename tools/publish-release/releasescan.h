#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

/// One file of a release: where it lies in the source folder and its path in the release.
struct ReleaseFile
{
    QString sourcePath;   ///< absolute path in the source folder
    QString relativePath; ///< "/"-separated, below the release folder, no leading "/"
    qint64 size = 0;
};

/// Walks the folder of a new version and sorts its entries into files to publish, files the
/// publisher writes itself (skipped) and entries no updater could take (refused).
class ReleaseScan
{
public:
    /// Scans `sourceDir`; false when it is not a readable folder (see lastError).
    bool scan(const QString& sourceDir);

    const QVector<ReleaseFile>& files() const { return m_files; }
    /// Relative paths of the updater's own files found in the source, left out of the release.
    const QStringList& skipped() const { return m_skipped; }
    /// One line per refused entry: its relative path and the reason.
    const QStringList& refusals() const { return m_refusals; }
    QString lastError() const { return m_lastError; }

private:
    void addEntry(const QString& sourceDir, const QString& path);
    void refuseCaseClashes();

    QVector<ReleaseFile> m_files;
    QStringList m_skipped;
    QStringList m_refusals;
    QString m_lastError;
};
