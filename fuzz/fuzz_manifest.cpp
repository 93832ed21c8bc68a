// Reads arbitrary bytes as the manifest that the web server sends (update.ini, staged as
// update/updateTmp.ini) the way the HTTP channel reads the offered folder and version, and as
// plain INI text. Typed values ("@Variant(", "@ByteArray(" ...) must be refused, never decoded.
#include "formats/inireader.h"
#include "formats/servermanifest.h"
#include "fuzzfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static FuzzFile files;
    const QString path = files.write(QStringLiteral("updateTmp.ini"), data, size);
    ServerManifest manifest;
    const bool complete = manifest.read(path);
    fuzzCheck(complete ==
              (manifest.refusal.isEmpty() && !manifest.folder.isEmpty() && !manifest.version.isEmpty()));

    const IniReader reader(QByteArray(reinterpret_cast<const char*>(data), static_cast<int>(size)),
                           Qt::CaseInsensitive);
    fuzzCheck(manifest.refusal.isEmpty() == (!reader.hasTypedValue() && !reader.hasControlBytes()));
    if (manifest.refusal.isEmpty()) {
        fuzzCheck(ServerManifest::versionOf(path) == manifest.version);
        fuzzCheck(reader.value(QStringLiteral("Version/Folder")) == manifest.folder);
    }
    files.clear();
    return 0;
}
