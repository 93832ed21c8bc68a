#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

/// Every file below `root` (relative path -> content), for byte-for-byte comparisons of whole
/// installations. Paths whose first component is in `skipped` are left out.
QMap<QString, QByteArray> snapshotFiles(const QString& root, const QStringList& skipped = {});

/// Readable difference of two snapshots for failure messages; empty when they are equal.
QString describeDifference(const QMap<QString, QByteArray>& actual,
                           const QMap<QString, QByteArray>& expected);
