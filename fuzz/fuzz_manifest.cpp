// Reads arbitrary bytes as the manifest that the web server sends (update.ini, staged as
// update/updateTmp.ini) the way the HTTP channel reads the offered folder and version.
#include "formats/servermanifest.h"
#include "fuzzfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static FuzzFile files;
    const QString path = files.write(QStringLiteral("updateTmp.ini"), data, size);
    ServerManifest manifest;
    const bool complete = manifest.read(path);
    fuzzCheck(complete == (!manifest.folder.isEmpty() && !manifest.version.isEmpty()));
    fuzzCheck(ServerManifest::versionOf(path) == manifest.version);
    files.clear();
    return 0;
}
