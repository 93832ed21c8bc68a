#include "serviceoptions.h"

#include <QCommandLineParser>
#include <QDir>

namespace {

bool toNumber(const QString& text, qint64 minimum, qint64 maximum, qint64& value)
{
    bool ok = false;
    value = text.toLongLong(&ok, 10);
    return ok && value >= minimum && value <= maximum;
}

} // namespace

bool ServiceOptions::parse(const QStringList& arguments, QString& error)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Serves one release folder to the updater over TCP."));
    parser.addHelpOption();
    const QCommandLineOption rootOption(QStringLiteral("root"), QStringLiteral("Release folder."),
                                        QStringLiteral("DIR"));
    const QCommandLineOption versionOption(QStringLiteral("version"), QStringLiteral("Release version."),
                                           QStringLiteral("TEXT"));
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("Port; 0 picks a free one, printed first."),
                                        QStringLiteral("N"));
    const QCommandLineOption hostOption(QStringLiteral("host"),
                                        QStringLiteral("Address to listen on (default 127.0.0.1)."),
                                        QStringLiteral("ADDR"));
    const QCommandLineOption chunkOption(QStringLiteral("chunk-size"),
                                         QStringLiteral("Data bytes per chunk (default 65536)."),
                                         QStringLiteral("BYTES"));
    const QCommandLineOption productOption(QStringLiteral("product-code"),
                                           QStringLiteral("Product code in version replies."),
                                           QStringLiteral("N"));
    const QCommandLineOption errorFileOption(QStringLiteral("error-file"),
                                             QStringLiteral("Answer this file with an error (test)."),
                                             QStringLiteral("PATH"));
    const QCommandLineOption errorVersionOption(
        QStringLiteral("error-version"), QStringLiteral("Answer version checks with an error (test)."));
    const QCommandLineOption dropOption(QStringLiteral("drop-after"),
                                        QStringLiteral("Close after this many file data bytes (test)."),
                                        QStringLiteral("BYTES"));
    const QCommandLineOption dropTimesOption(QStringLiteral("drop-times"),
                                             QStringLiteral("Connections to drop (default 1, test)."),
                                             QStringLiteral("N"));
    const QCommandLineOption delayOption(
        QStringLiteral("delay"), QStringLiteral("Delay before each answer (test)."), QStringLiteral("MS"));
    const QCommandLineOption chunkDelayOption(
        QStringLiteral("chunk-delay"), QStringLiteral("Pause between chunks (test)."), QStringLiteral("MS"));
    const QCommandLineOption announceOption(QStringLiteral("announce-size"),
                                            QStringLiteral("Announce this file size in every chunk (test)."),
                                            QStringLiteral("BYTES"));
    const QCommandLineOption corruptOption(QStringLiteral("corrupt"),
                                           QStringLiteral("Send a corrupt frame before each answer (test)."));
    const QCommandLineOption prependOption(
        QStringLiteral("prepend-file"), QStringLiteral("Stream this file before each requested one (test)."),
        QStringLiteral("PATH"));
    const QCommandLineOption emptyFinalOption(QStringLiteral("empty-final-chunk"),
                                              QStringLiteral("End each file with an empty chunk (test)."));
    const QCommandLineOption extraRecordOption(QStringLiteral("extra-record"),
                                               QStringLiteral("List an extra \"folder|name\" record (test)."),
                                               QStringLiteral("RECORD"));
    const QCommandLineOption answerAsOption(QStringLiteral("answer-as"),
                                            QStringLiteral("Label every chunk \"folder|name\" (test)."),
                                            QStringLiteral("RECORD"));
    parser.addOptions({rootOption, versionOption, portOption, hostOption, chunkOption, productOption,
                       errorFileOption, errorVersionOption, dropOption, dropTimesOption, delayOption,
                       chunkDelayOption, announceOption, corruptOption, prependOption, emptyFinalOption,
                       extraRecordOption, answerAsOption});
    if (!parser.parse(arguments)) {
        error = parser.errorText();
        return false;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        error = parser.helpText();
        return false;
    }
    if (!parser.isSet(rootOption) || !parser.isSet(versionOption) || !parser.isSet(portOption)) {
        error = QStringLiteral("--root, --version and --port are required");
        return false;
    }
    root = QDir(parser.value(rootOption)).absolutePath();
    if (!QDir(root).exists()) {
        error = QStringLiteral("release folder does not exist: ") + root;
        return false;
    }
    version = parser.value(versionOption);
    qint64 number = 0;
    if (!toNumber(parser.value(portOption), 0, 65535, number)) {
        error = QStringLiteral("bad --port");
        return false;
    }
    port = static_cast<quint16>(number);
    if (parser.isSet(hostOption) && !host.setAddress(parser.value(hostOption))) {
        error = QStringLiteral("bad --host");
        return false;
    }
    if (parser.isSet(chunkOption)) {
        if (!toNumber(parser.value(chunkOption), 1, 16 * 1024 * 1024, number)) {
            error = QStringLiteral("bad --chunk-size");
            return false;
        }
        chunkSize = static_cast<int>(number);
    }
    if (parser.isSet(productOption)) {
        if (!toNumber(parser.value(productOption), INT32_MIN, INT32_MAX, number)) {
            error = QStringLiteral("bad --product-code");
            return false;
        }
        productCode = static_cast<qint32>(number);
    }
    if (parser.isSet(dropOption) && !toNumber(parser.value(dropOption), 0, INT64_MAX, dropAfter)) {
        error = QStringLiteral("bad --drop-after");
        return false;
    }
    if (parser.isSet(dropTimesOption)) {
        if (!toNumber(parser.value(dropTimesOption), 0, INT32_MAX, number)) {
            error = QStringLiteral("bad --drop-times");
            return false;
        }
        dropTimes = static_cast<int>(number);
    }
    if (parser.isSet(delayOption)) {
        if (!toNumber(parser.value(delayOption), 0, 600000, number)) {
            error = QStringLiteral("bad --delay");
            return false;
        }
        delayMs = static_cast<int>(number);
    }
    if (parser.isSet(chunkDelayOption)) {
        if (!toNumber(parser.value(chunkDelayOption), 0, 600000, number)) {
            error = QStringLiteral("bad --chunk-delay");
            return false;
        }
        chunkDelayMs = static_cast<int>(number);
    }
    if (parser.isSet(announceOption) &&
        !toNumber(parser.value(announceOption), 0, UINT32_MAX, announceSize)) {
        error = QStringLiteral("bad --announce-size");
        return false;
    }
    errorFiles = parser.values(errorFileOption);
    errorVersion = parser.isSet(errorVersionOption);
    corrupt = parser.isSet(corruptOption);
    prependFile = parser.value(prependOption);
    emptyFinalChunk = parser.isSet(emptyFinalOption);
    extraRecords = parser.values(extraRecordOption);
    answerAs = parser.value(answerAsOption);
    return true;
}
