#include "support/installsnapshot.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>

QMap<QString, QByteArray> snapshotFiles(const QString& root, const QStringList& skipped)
{
    QMap<QString, QByteArray> files;
    const QDir base(root);
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = base.relativeFilePath(path);
        if (skipped.contains(relative.section(QLatin1Char('/'), 0, 0))) {
            continue;
        }
        QFile file(path);
        files.insert(relative, file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>"));
    }
    return files;
}

QString describeDifference(const QMap<QString, QByteArray>& actual, const QMap<QString, QByteArray>& expected)
{
    QStringList lines;
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (!actual.contains(it.key())) {
            lines << QStringLiteral("missing: ") + it.key();
        } else if (actual.value(it.key()) != it.value()) {
            lines << QStringLiteral("differs: ") + it.key();
        }
    }
    for (auto it = actual.cbegin(); it != actual.cend(); ++it) {
        if (!expected.contains(it.key())) {
            lines << QStringLiteral("extra: ") + it.key();
        }
    }
    return lines.join(QStringLiteral(", "));
}
