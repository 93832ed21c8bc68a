// Reads arbitrary bytes as an MD5 list (md5.txt from the web server) and maps every key it yields
// into a temporary folder, as the HTTP channel does before it downloads anything.
#include "formats/md5list.h"
#include "fuzzfile.h"

#include <QDir>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static FuzzFile files;
    const QString list = files.write(QStringLiteral("md5Tmp.txt"), data, size);
    const Md5Map entries = loadMd5List(list);
    files.clear();

    const QString folder = QStringLiteral("/install/temp/");
    const QString root = QDir::cleanPath(folder) + QLatin1Char('/');
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        // Fields are split at tabs and lines at line ends: neither can be inside one.
        fuzzCheck(!it.key().contains(QLatin1Char('\t')) && !it.value().contains(QLatin1Char('\t')));
        fuzzCheck(!it.key().contains(QLatin1Char('\n')) && !it.value().contains(QLatin1Char('\n')));
        const QString local = localPathForKey(folder, it.key());
        if (!local.isEmpty()) {
            const QString cleaned = QDir::cleanPath(local);
            fuzzCheck(cleaned.startsWith(root) && cleaned.size() > root.size());
        }
    }
    // Against an empty installed list every server entry is a change, with its own digest.
    fuzzCheck(diffMd5Lists(Md5Map(), entries) == entries);
    fuzzCheck(diffMd5Lists(entries, entries).isEmpty());
    return 0;
}
