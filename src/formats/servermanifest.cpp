#include "formats/servermanifest.h"

#include "formats/inireader.h"

namespace {

const QLatin1String FolderKey("Version/Folder");
const QLatin1String VersionKey("Version/Version");
/// Names compare as on Windows, where the updater runs and where Qt's reader ignores their case.
constexpr Qt::CaseSensitivity KeyCase = Qt::CaseInsensitive;

QString refusalOf(IniReader::Status status, const IniReader& reader)
{
    if (status == IniReader::Status::TooLarge) {
        return ServerManifest::tooLargeRefusal();
    }
    if (status != IniReader::Status::Ok) {
        return QStringLiteral("服务端update.ini无法读取");
    }
    if (reader.hasControlBytes()) {
        return QStringLiteral("服务端update.ini不是文本，拒绝读取");
    }
    if (reader.hasTypedValue()) {
        return QStringLiteral("服务端update.ini含有类型化的值(@Variant等)，拒绝读取");
    }
    return QString();
}

} // namespace

bool ServerManifest::read(const QString& path)
{
    IniReader reader(KeyCase);
    const IniReader::Status status = reader.load(path, MaxBytes);
    refusal = refusalOf(status, reader);
    if (!refusal.isEmpty()) {
        folder.clear();
        version.clear();
        return false;
    }
    folder = reader.value(FolderKey);
    version = reader.value(VersionKey);
    return !folder.isEmpty() && !version.isEmpty();
}

QString ServerManifest::versionOf(const QString& path)
{
    IniReader reader(KeyCase);
    if (reader.load(path, MaxBytes) != IniReader::Status::Ok) {
        return QString();
    }
    return reader.value(VersionKey);
}

QString ServerManifest::tooLargeRefusal()
{
    return QStringLiteral("服务端update.ini超过1 MiB，拒绝读取");
}
