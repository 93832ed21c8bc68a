#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

/// Fuzz targets whose parser reads a file: the input goes into a file of a private folder first.
///
/// Every input gets a new file name, because Qt's INI reader caches parsed files by path and
/// modification time, which could hand an input the parse of an earlier one of the same size.
class FuzzFile
{
public:
    /// Writes `data` as `name` into a new folder of its own; returns its path.
    QString write(const QString& name, const uint8_t* data, size_t size)
    {
        const QString path = m_dir.filePath(QString::number(++m_count) + QLatin1Char('/') + name);
        QFile::remove(path);
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            __builtin_trap();
        }
        file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
        return path;
    }

    /// Removes the files of the last input.
    void clear() { QDir(m_dir.filePath(QString::number(m_count))).removeRecursively(); }

private:
    /// In memory where the system offers it: the targets spend most of their time on files.
    static QString folderTemplate()
    {
        const QString memory = QStringLiteral("/dev/shm");
        const QString base = QFileInfo(memory).isDir() ? memory : QDir::tempPath();
        return base + QStringLiteral("/updater-fuzz-XXXXXX");
    }

    QTemporaryDir m_dir{folderTemplate()};
    quint64 m_count = 0;
};

inline void fuzzCheck(bool condition)
{
    if (!condition) {
        __builtin_trap();
    }
}
