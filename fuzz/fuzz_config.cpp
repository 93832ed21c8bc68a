// Reads arbitrary bytes as system.cfg and as the installed update.ini through the configuration
// store, and asks every getter, as a start of update.exe does.
#include "config/configmanager.h"
#include "config/confignames.h"
#include "fuzzfile.h"

#include <QFileInfo>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static FuzzFile files;
    const QString config = files.write(QStringLiteral("system.cfg"), data, size);
    // The same bytes as the manifest beside it: its reading path differs only in the keys.
    const QString manifest = QFileInfo(config).path() + QStringLiteral("/update.ini");
    QFile::copy(config, manifest);

    CConfigManager store(config);
    const int type = store.getProjectType();
    fuzzCheck(type >= 1 && type <= 6);
    fuzzCheck(store.getTempDirWithSlash().endsWith(QLatin1Char('/')));
    store.getBackupDir();
    store.getVersion();
    store.getHostExe();
    store.getLogDir();
    store.getUpdateExe();
    store.getUpdateHelperExe();
    store.getUpdatePort().toUInt();
    store.getUpdateServer();
    store.isHttpEnabled();
    store.getSourceValue(QStringLiteral("URL"));
    store.getManifestValue(ConfigNames::SectionVersion, ConfigNames::KeyVersion);
    store.getManifestValue(ConfigNames::SectionSummary, ConfigNames::KeyDescription);
    store.reload();
    fuzzCheck(store.getProjectType() == type);
    files.clear();
    return 0;
}
