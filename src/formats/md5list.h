#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

/// The MD5 list (md5.txt): one line per file, the digest as text, a tab, and the file's path
/// relative to the listed folder, starting with "/". Maps go from that path to the digest text.
using Md5Map = QMap<QString, QString>;

/// The largest server list the HTTP check accepts: about 150 000 files at typical path lengths.
constexpr qint64 Md5ListMaxBytes = qint64{16} * 1024 * 1024;

/// Writes `dir` + "md5.txt" for every file below `dir` (which ends in "/"). Does nothing for an
/// empty `dir`; a file that cannot be read gets an empty digest.
void generateMd5List(const QString& dir);

/// Writes `digests` to `listPath`: one line per path in ascending order, made of the digest, a tab,
/// the path and a line feed, in UTF-8 on every system. The file is replaced as a whole or not at
/// all; false leaves a reason in `error`.
bool writeMd5List(const QString& listPath, const Md5Map& digests, QString& error);

/// Appends the paths of all files below `base` + `relDir` to `out`, each as `relDir` + "/" + name.
/// Links are followed only to places inside `base`, and a folder that a link leads back to is
/// listed once, so that the walk never leaves the installation and always ends.
void collectFiles(const QString& base, const QString& relDir, QStringList& out);

/// Reads a list file: UTF-8 when its bytes are valid UTF-8 (a byte order mark is skipped), in the
/// local code page otherwise (lists written by older versions). Lines with fewer than two
/// tab-separated fields are skipped, further fields are ignored and a repeated path keeps its last
/// digest; line ends may be LF or CR LF. An unreadable file gives an empty map.
Md5Map loadMd5List(const QString& filePath);

/// The server entries whose path is missing locally or whose digest text differs (exact match).
Md5Map diffMd5Lists(const Md5Map& local, const Md5Map& server);

/// Lower-case hex MD5 of a file's content, or an empty text when it cannot be read.
QString fileMd5(const QString& filePath);

/// The local path of list key `key` below `folder` (`folder` + `key`), or an empty text when the
/// key would leave that folder: ".." segments, backslashes, drive letters or other colons,
/// control characters, or a key that names the folder itself.
QString localPathForKey(const QString& folder, const QString& key);
