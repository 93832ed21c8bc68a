// Reads arbitrary bytes as both patch lists of a release (delta.txt and the signed
// release.patches) the way the updater does before it builds a patch address from them. Each list
// has one text only, so whatever is accepted must be written back byte for byte, every path must
// stay inside the installation and every patch address inside the release's patch folder.
#include "formats/patchindex.h"

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

void checkEntries(const PatchIndex& index, bool isSigned)
{
    const QString root = QStringLiteral("/install");
    for (const PatchEntry& entry : qAsConst(index.entries)) {
        fuzzCheck(entry.size >= 0 && entry.path.startsWith(QLatin1Char('/')));
        fuzzCheck(isSigned
                      ? (entry.baseSha256.size() == 32 && entry.patchSha256.size() == 32 &&
                         index.findBySha256(entry.path, entry.baseSha256) == &entry)
                      : (entry.baseMd5.size() == 32 && index.findByMd5(entry.path, entry.baseMd5) == &entry));
        const QString local = QDir::cleanPath(root + entry.path);
        fuzzCheck(local.startsWith(root + QLatin1Char('/')) && local.size() > root.size() + 1);
        const QString patchFolder =
            QStringLiteral("/release/") + QLatin1String(PatchIndex::FolderName) + QLatin1Char('/');
        const QString patch =
            QDir::cleanPath(QStringLiteral("/release/") +
                            PatchIndex::patchLocation(entry.path, QString(32, QLatin1Char('0'))));
        fuzzCheck(patch.startsWith(patchFolder));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<int>(size));
    PatchIndex plain;
    QString error;
    if (PatchIndex::parsePlain(bytes, plain, error)) {
        fuzzCheck(plain.serializePlain() == bytes);
        checkEntries(plain, false);
    } else {
        fuzzCheck(!error.isEmpty());
    }
    PatchIndex signedList;
    error.clear();
    if (PatchIndex::parseSigned(bytes, signedList, error)) {
        fuzzCheck(signedList.serializeSigned() == bytes);
        checkEntries(signedList, true);
    } else {
        fuzzCheck(!error.isEmpty());
    }
    return 0;
}
