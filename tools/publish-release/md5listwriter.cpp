#include "md5listwriter.h"

#include <QSaveFile>
#include <QTextStream>

namespace Md5ListWriter {

bool write(const QString& listPath, const QMap<QString, QString>& digests, QString& error)
{
    QSaveFile file(listPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        error = QStringLiteral("cannot write %1: %2").arg(listPath, file.errorString());
        return false;
    }
    QTextStream stream(&file);
    for (auto it = digests.cbegin(); it != digests.cend(); ++it) {
        stream << it.value() << '\t' << it.key() << '\n';
    }
    stream.flush();
    if (stream.status() != QTextStream::Ok || !file.commit()) {
        error = QStringLiteral("cannot write %1: %2").arg(listPath, file.errorString());
        return false;
    }
    return true;
}

} // namespace Md5ListWriter
