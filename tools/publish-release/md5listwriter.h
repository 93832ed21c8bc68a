#pragma once

#include <QMap>
#include <QString>

/// The MD5 list file (md5.txt) exactly as the updater writes and reads it.
namespace Md5ListWriter {

/// Writes `digests` (relative path such as "/bin/app.exe" -> digest text) to `listPath`: one line per
/// path in ascending QString order, made of the digest, a tab, the path and a line end. The file is
/// written in text mode with the default text stream encoding, so line ends and the encoding of
/// non-ASCII paths are those of the system it runs on, as for the updater's own list. The file is
/// replaced as a whole or not at all; false leaves a reason in `error`.
bool write(const QString& listPath, const QMap<QString, QString>& digests, QString& error);

} // namespace Md5ListWriter
