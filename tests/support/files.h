#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

/// Writes `content` to `path`, creating missing folders; false when any step fails.
bool writeFile(const QString& path, const QByteArray& content);

/// The whole content of `path`, or an empty array when it cannot be read.
QByteArray readFile(const QString& path);

/// Paths of every file below `root` (hidden ones too), relative to it and sorted.
QStringList filesBelow(const QString& root);
