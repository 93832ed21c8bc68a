#include "formats/md5list.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QTextCodec>
#include <QTextStream>

namespace {

const QLatin1String ListFileName("md5.txt");

/// Lists are UTF-8. One written earlier in a system's own code page (GBK on a Chinese Windows) is
/// not valid UTF-8 as soon as it holds a non-ASCII name, and is then read in the local code page,
/// so that such lists keep working where they were written.
QString decodeListText(const QByteArray& bytes)
{
    QTextCodec::ConverterState state;
    QString text = QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    if (state.invalidChars == 0 && state.remainingChars == 0) {
        return text;
    }
    return QString::fromLocal8Bit(bytes);
}

bool hasUnsafeCharacter(const QString& key)
{
    for (const QChar c : key) {
        if (c == QLatin1Char('\\') || c == QLatin1Char(':') || c.category() == QChar::Other_Control) {
            return true;
        }
    }
    return false;
}

bool isInside(const QString& path, const QString& root)
{
    return !root.isEmpty() && (path == root || path.startsWith(root + QLatin1Char('/')));
}

/// collectFiles below the canonical folder `root`: a link is followed only to a place inside it,
/// and a folder that was walked already (through a link that loops back) is not walked again.
void collectInside(const QString& base, const QString& relDir, const QString& root, QSet<QString>& walked,
                   QStringList& out)
{
    const QString folder = QFileInfo(base + relDir).canonicalFilePath();
    if (!isInside(folder, root) || walked.contains(folder)) {
        return;
    }
    walked.insert(folder);
    const QDir dir(base + relDir);
    const QFileInfoList entries =
        dir.entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo& entry : entries) {
        if (entry.isSymLink() && !isInside(entry.canonicalFilePath(), root)) {
            continue;
        }
        const QString relative = relDir + QLatin1Char('/') + entry.fileName();
        if (entry.isDir()) {
            collectInside(base, relative, root, walked, out);
        } else if (entry.isFile()) {
            // Only regular files: reading a link to a device or a pipe might never end.
            out.append(relative);
        }
    }
}

} // namespace

void generateMd5List(const QString& dir)
{
    if (dir.isEmpty()) {
        return;
    }
    QStringList files;
    collectFiles(dir, QString(), files);

    Md5Map digests;
    for (const QString& path : files) {
        digests.insert(path, fileMd5(dir + QLatin1Char('/') + path));
    }

    // A list cut short would mark every missing file as changed on the next comparison; the writer
    // replaces it whole or not at all. Without a list the next run compares against nothing.
    QString ignored;
    writeMd5List(dir + ListFileName, digests, ignored);
}

bool writeMd5List(const QString& listPath, const Md5Map& digests, QString& error)
{
    QSaveFile file(listPath);
    if (!file.open(QIODevice::WriteOnly)) {
        error = QStringLiteral("cannot write %1: %2").arg(listPath, file.errorString());
        return false;
    }
    QTextStream out(&file);
    out.setCodec("UTF-8");
    for (auto it = digests.cbegin(); it != digests.cend(); ++it) {
        out << it.value() << '\t' << it.key() << '\n';
    }
    out.flush();
    if (out.status() != QTextStream::Ok || !file.commit()) {
        error = QStringLiteral("cannot write %1: %2").arg(listPath, file.errorString());
        return false;
    }
    return true;
}

void collectFiles(const QString& base, const QString& relDir, QStringList& out)
{
    QSet<QString> walked;
    collectInside(base, relDir, QFileInfo(base).canonicalFilePath(), walked, out);
}

Md5Map loadMd5List(const QString& filePath)
{
    Md5Map entries;
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        return entries;
    }
    QString text = decodeListText(file.readAll());
    QTextStream in(&text, QIODevice::ReadOnly);
    QString line;
    while (in.readLineInto(&line)) {
        const QStringList fields = line.split(QLatin1Char('\t'));
        if (fields.size() >= 2) {
            entries.insert(fields.at(1), fields.at(0));
        }
    }
    return entries;
}

Md5Map diffMd5Lists(const Md5Map& local, const Md5Map& server)
{
    Md5Map changed;
    for (auto it = server.cbegin(); it != server.cend(); ++it) {
        const auto found = local.constFind(it.key());
        if (found == local.cend() || found.value() != it.value()) {
            changed.insert(it.key(), it.value());
        }
    }
    return changed;
}

QString fileMd5(const QString& filePath)
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        return QString();
    }
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!hash.addData(&file)) {
        return QString();
    }
    return QString::fromLatin1(hash.result().toHex());
}

QString localPathForKey(const QString& folder, const QString& key)
{
    if (key.isEmpty() || key.endsWith(QLatin1Char('/')) || hasUnsafeCharacter(key) ||
        key.split(QLatin1Char('/')).contains(QLatin1String(".."))) {
        return QString();
    }
    // The key is joined to the folder as it stands; the folder value may lack its final "/", so
    // the containment test compares against the folder with one.
    QString path = folder + key;
    const QString root = QDir::cleanPath(folder) + QLatin1Char('/');
    const QString cleaned = QDir::cleanPath(path);
    if (!cleaned.startsWith(root) || cleaned.size() == root.size()) {
        return QString();
    }
    return path;
}
