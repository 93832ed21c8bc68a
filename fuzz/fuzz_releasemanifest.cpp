// Reads arbitrary bytes as a signed release manifest (release.manifest from the web server or the
// TCP service) the way the updater does before it trusts any path or size in it. A manifest has one
// text only, so whatever is accepted must be written back byte for byte, and every listed path
// must be one that stays inside the installation.
#include "formats/releasemanifest.h"

#include <QDir>

#include <cstddef>
#include <cstdint>

namespace {

void fuzzCheck(bool condition)
{
    if (!condition) {
        __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<int>(size));
    ReleaseManifest manifest;
    QString error;
    if (!ReleaseManifest::parse(bytes, manifest, error)) {
        fuzzCheck(!error.isEmpty());
        return 0;
    }
    fuzzCheck(manifest.serialize() == bytes);
    fuzzCheck(!manifest.files.isEmpty() &&
              ReleaseManifest::compareVersions(manifest.version, manifest.version) == 0);
    const QString root = QStringLiteral("/install");
    for (const ReleaseManifestFile& file : qAsConst(manifest.files)) {
        fuzzCheck(manifest.find(file.path) == &file);
        fuzzCheck(file.sha256.size() == 32 && file.size >= 0);
        const QString local = QDir::cleanPath(root + QLatin1Char('/') + file.path);
        fuzzCheck(local.startsWith(root + QLatin1Char('/')) && local.size() > root.size() + 1);
    }
    return 0;
}
