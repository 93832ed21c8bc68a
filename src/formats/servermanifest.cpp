#include "formats/servermanifest.h"

#include <QSettings>

namespace {

const QLatin1String FolderKey("Version/Folder");
const QLatin1String VersionKey("Version/Version");

} // namespace

bool ServerManifest::read(const QString& path)
{
    const QSettings manifest(path, QSettings::IniFormat);
    folder = manifest.value(FolderKey).toString();
    version = manifest.value(VersionKey).toString();
    return !folder.isEmpty() && !version.isEmpty();
}

QString ServerManifest::versionOf(const QString& path)
{
    return QSettings(path, QSettings::IniFormat).value(VersionKey).toString();
}
