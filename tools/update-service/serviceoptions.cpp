#include "serviceoptions.h"

#include <QCommandLineParser>
#include <QDir>

#include <functional>
#include <vector>

namespace {

/// One command-line option: how it is described and where its value goes. `store` is called only
/// when the option is given (with no values for a switch) and returns the error for a value it
/// cannot take, or an empty text.
struct OptionRow
{
    QString name;
    QString description;
    QString valueName; ///< empty for a switch
    std::function<QString(ServiceOptions&, const QStringList& values)> store;
};

QString badValue(const char* name)
{
    return QStringLiteral("bad --") + QLatin1String(name);
}

/// A whole number within [minimum, maximum], handed to `assign`.
OptionRow numberRow(const char* name, const char* description, const char* valueName, qint64 minimum,
                    qint64 maximum, const std::function<void(ServiceOptions&, qint64)>& assign)
{
    return {QLatin1String(name), QLatin1String(description), QLatin1String(valueName),
            [=](ServiceOptions& options, const QStringList& values) {
                bool ok = false;
                const qint64 value = values.constLast().toLongLong(&ok, 10);
                if (!ok || value < minimum || value > maximum) {
                    return badValue(name);
                }
                assign(options, value);
                return QString();
            }};
}

/// Every value given, handed to `assign`; an empty `valueName` makes a switch.
OptionRow textRow(const char* name, const char* description, const char* valueName,
                  const std::function<void(ServiceOptions&, const QStringList&)>& assign)
{
    return {QLatin1String(name), QLatin1String(description), QLatin1String(valueName),
            [=](ServiceOptions& options, const QStringList& values) {
                assign(options, values);
                return QString();
            }};
}

/// The options in the order their values are checked; the first bad one is reported.
std::vector<OptionRow> optionRows()
{
    return {
        {QStringLiteral("root"), QStringLiteral("Release folder."), QStringLiteral("DIR"),
         [](ServiceOptions& o, const QStringList& v) {
             o.root = QDir(v.constLast()).absolutePath();
             return QDir(o.root).exists() ? QString()
                                          : QStringLiteral("release folder does not exist: ") + o.root;
         }},
        textRow("version", "Release version.", "TEXT",
                [](ServiceOptions& o, const QStringList& v) { o.version = v.constLast(); }),
        numberRow("port", "Port; 0 picks a free one, printed first.", "N", 0, 65535,
                  [](ServiceOptions& o, qint64 n) { o.port = static_cast<quint16>(n); }),
        {QStringLiteral("host"), QStringLiteral("Address to listen on (default 127.0.0.1)."),
         QStringLiteral("ADDR"),
         [](ServiceOptions& o, const QStringList& v) {
             return o.host.setAddress(v.constLast()) ? QString() : badValue("host");
         }},
        numberRow("chunk-size", "Data bytes per chunk (default 65536).", "BYTES", 1, qint64{16} * 1024 * 1024,
                  [](ServiceOptions& o, qint64 n) { o.chunkSize = static_cast<int>(n); }),
        numberRow("product-code", "Product code in version replies.", "N", INT32_MIN, INT32_MAX,
                  [](ServiceOptions& o, qint64 n) { o.productCode = static_cast<qint32>(n); }),
        textRow("error-file", "Answer this file with an error (test).", "PATH",
                [](ServiceOptions& o, const QStringList& v) { o.errorFiles = v; }),
        textRow("error-version", "Answer version checks with an error (test).", "",
                [](ServiceOptions& o, const QStringList&) { o.errorVersion = true; }),
        numberRow("drop-after", "Close after this many file data bytes (test).", "BYTES", 0, INT64_MAX,
                  [](ServiceOptions& o, qint64 n) { o.dropAfter = n; }),
        numberRow("drop-times", "Connections to drop (default 1, test).", "N", 0, INT32_MAX,
                  [](ServiceOptions& o, qint64 n) { o.dropTimes = static_cast<int>(n); }),
        numberRow("delay", "Delay before each answer (test).", "MS", 0, 600000,
                  [](ServiceOptions& o, qint64 n) { o.delayMs = static_cast<int>(n); }),
        numberRow("chunk-delay", "Pause between chunks (test).", "MS", 0, 600000,
                  [](ServiceOptions& o, qint64 n) { o.chunkDelayMs = static_cast<int>(n); }),
        numberRow("announce-size", "Announce this file size in every chunk (test).", "BYTES", 0, UINT32_MAX,
                  [](ServiceOptions& o, qint64 n) { o.announceSize = n; }),
        textRow("corrupt", "Send a corrupt frame before each answer (test).", "",
                [](ServiceOptions& o, const QStringList&) { o.corrupt = true; }),
        textRow("prepend-file", "Stream this file before each requested one (test).", "PATH",
                [](ServiceOptions& o, const QStringList& v) { o.prependFile = v.constLast(); }),
        textRow("empty-final-chunk", "End each file with an empty chunk (test).", "",
                [](ServiceOptions& o, const QStringList&) { o.emptyFinalChunk = true; }),
        textRow("extra-record", "List an extra \"folder|name\" record (test).", "RECORD",
                [](ServiceOptions& o, const QStringList& v) { o.extraRecords = v; }),
        textRow("answer-as", "Label every chunk \"folder|name\" (test).", "RECORD",
                [](ServiceOptions& o, const QStringList& v) { o.answerAs = v.constLast(); }),
    };
}

} // namespace

bool ServiceOptions::parse(const QStringList& arguments, QString& error)
{
    const std::vector<OptionRow> rows = optionRows();
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Serves one release folder to the updater over TCP."));
    parser.addHelpOption();
    for (const OptionRow& row : rows) {
        parser.addOption(QCommandLineOption(row.name, row.description, row.valueName));
    }
    if (!parser.parse(arguments)) {
        error = parser.errorText();
        return false;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        error = parser.helpText();
        return false;
    }
    if (!parser.isSet(QStringLiteral("root")) || !parser.isSet(QStringLiteral("version")) ||
        !parser.isSet(QStringLiteral("port"))) {
        error = QStringLiteral("--root, --version and --port are required");
        return false;
    }
    for (const OptionRow& row : rows) {
        if (!parser.isSet(row.name)) {
            continue;
        }
        error = row.store(*this, row.valueName.isEmpty() ? QStringList() : parser.values(row.name));
        if (!error.isEmpty()) {
            return false;
        }
    }
    return true;
}
