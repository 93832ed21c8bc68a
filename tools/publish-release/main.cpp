// publish-release: publishes the folder of a new version of a program for the updater, as the web
// tree of the HTTP channel and as the release folder of the TCP update service.

#include "keypairwriter.h"
#include "releasepublisher.h"

#include "formats/patchindex.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>
#include <QTextStream>

namespace {

enum ExitCode
{
    Published = 0,
    Refused = 1,
    BadCommandLine = 2
};

/// About ten years: longer is a manifest that never expires in all but name.
constexpr int MaxExpiryDays = 3660;

QString describeSize(qint64 bytes)
{
    const double mib = double(bytes) / (1024.0 * 1024.0);
    return QStringLiteral("%1 bytes (%2 MiB)").arg(bytes).arg(mib, 0, 'f', 2);
}

/// `text` as one word for a POSIX shell, so the printed command can be pasted as it is.
QString shellWord(const QString& text)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9._/+=:@-]+$"));
    if (plain.match(text).hasMatch()) {
        return text;
    }
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

void printSummary(const PublishRequest& request, const PublishSummary& summary)
{
    QTextStream out(stdout);
    out << "published version " << request.version << " as folder " << request.folder << "\n";
    out << "  files:        " << summary.fileCount << "\n";
    out << "  total size:   " << describeSize(summary.totalBytes) << "\n";
    out << "  md5.txt MD5:  " << summary.listDigest << "\n";
    if (!summary.webFolder.isEmpty()) {
        out << "  web tree:     " << summary.manifestPath << ", " << summary.webFolder << "/\n";
    }
    if (!summary.tcpFolder.isEmpty()) {
        out << "  TCP release:  " << summary.tcpFolder << "/ (serve it with: update-service --root "
            << shellWord(summary.tcpFolder) << " --version " << shellWord(request.version)
            << " --port PORT)\n";
    }
    if (!summary.signingKey.isEmpty()) {
        out << "  signed:       " << ReleaseManifest::FileName << " and "
            << ReleaseManifest::SignatureFileName << " with public key " << summary.signingKey << "\n";
        out << "  expires:      "
            << (request.expires.isValid() ? request.expires.toString(Qt::ISODate) : QStringLiteral("never"))
            << "\n";
    }
    if (!request.deltaFrom.isEmpty()) {
        out << "  patches:      " << summary.patchCount << " in " << PatchIndex::FolderName << "/, "
            << describeSize(summary.patchBytes) << " instead of " << describeSize(summary.patchedFullBytes)
            << " (" << PatchIndex::PlainFileName
            << (summary.signingKey.isEmpty() ? QString()
                                             : QStringLiteral(" and ") + PatchIndex::SignedFileName)
            << ")\n";
    }
    for (const QString& skipped : summary.skipped) {
        out << "  skipped:      " << skipped << " (the updater's own file; the publisher writes its own)\n";
    }
    out.flush();
    QTextStream err(stderr);
    for (const QString& warning : summary.warnings) {
        err << "warning: " << warning << "\n";
    }
}

int makeKeyPair(const QString& dir)
{
    KeyPairWriter writer;
    if (!writer.write(dir)) {
        QTextStream(stderr) << "publish-release: " << writer.lastError() << "\n";
        return Refused;
    }
    QTextStream out(stdout);
    out << writer.publicKeyText() << "\n";
    out << "secret key: " << writer.secretKeyPath()
        << " (only its owner can read it; keep it on the build machine, never on the update server)\n";
    out << "public key: " << writer.publicKeyPath() << "\n";
    out << "Put this into system.cfg of every installation:\n";
    out << "[Security]\n";
    out << "PublicKey=" << writer.publicKeyText() << "\n";
    return Published;
}

/// The expiry that the command line asks for: null for none; false and a reason when the options
/// are given twice or are not a time.
bool readExpiry(const QCommandLineParser& parser, const QCommandLineOption& inDays,
                const QCommandLineOption& at, QDateTime& expires, QString& error)
{
    expires = QDateTime();
    if (parser.isSet(inDays) && parser.isSet(at)) {
        error = QStringLiteral("give --expires-in-days or --expires, not both");
        return false;
    }
    if (parser.isSet(inDays)) {
        bool ok = false;
        const int days = parser.value(inDays).toInt(&ok);
        if (!ok || days < 1 || days > MaxExpiryDays) {
            error = QStringLiteral("--expires-in-days takes a whole number of days from 1 to %1")
                        .arg(MaxExpiryDays);
            return false;
        }
        const QDateTime now = QDateTime::currentDateTimeUtc();
        expires = now.addMSecs(-now.time().msec()).addDays(days);
    } else if (parser.isSet(at)) {
        // A time without a zone would mean something else on every machine.
        const QDateTime time = QDateTime::fromString(parser.value(at), Qt::ISODate);
        if (!time.isValid() || time.timeSpec() == Qt::LocalTime) {
            error = QStringLiteral(
                "--expires takes an ISO 8601 time with its zone, such as 2027-01-31T12:00:00Z");
            return false;
        }
        expires = time.toUTC();
        expires = expires.addMSecs(-expires.time().msec());
    }
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("publish-release"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Publishes the folder of a new version for the updater: writes the web tree of the HTTP channel "
        "(update.ini, FOLDER/md5.txt and the files) and the release folder that the TCP update service "
        "serves (TCP-ROOT/FOLDER). With --sign-key it also writes the signed release manifest "
        "(release.manifest and release.manifest.sig) into both. With --delta-from it also writes patches "
        "against earlier versions for the HTTP channel (FOLDER/.delta/, delta.txt).\n"
        "publish-release keygen DIR makes a signing key pair in DIR."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("source"), QStringLiteral("Folder of the new version."));
    parser.addPositionalArgument(QStringLiteral("version"),
                                 QStringLiteral("Version text of the new version."));
    parser.addPositionalArgument(QStringLiteral("folder"), QStringLiteral("Name of the release folder."));
    const QCommandLineOption webRoot(
        QStringLiteral("web-root"),
        QStringLiteral("Root of the web tree that the HTTP channel's URL points to."), QStringLiteral("dir"));
    const QCommandLineOption tcpRoot(QStringLiteral("tcp-root"),
                                     QStringLiteral("Folder in which the TCP release folder is written."),
                                     QStringLiteral("dir"));
    const QCommandLineOption force(QStringLiteral("force"),
                                   QStringLiteral("Replace a release folder of the same name."));
    const QCommandLineOption signKey(
        QStringLiteral("sign-key"),
        QStringLiteral("Secret key file (from keygen) to sign the release manifest with."),
        QStringLiteral("file"));
    const QCommandLineOption productType(
        QStringLiteral("product-type"),
        QStringLiteral("Product type named in the signed manifest ([Project] Type, 1 to 6; default 1)."),
        QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption expiresInDays(
        QStringLiteral("expires-in-days"),
        QStringLiteral("The signed manifest expires this many days from now."), QStringLiteral("days"));
    const QCommandLineOption expiresAt(
        QStringLiteral("expires"),
        QStringLiteral(
            "The signed manifest expires at this ISO 8601 time (with zone, e.g. 2027-01-31T12:00:00Z)."),
        QStringLiteral("time"));
    const QCommandLineOption deltaFrom(
        QStringLiteral("delta-from"),
        QStringLiteral("An earlier version (its source folder or published release folder) to write patches "
                       "against; may be given more than once."),
        QStringLiteral("dir"));
    parser.addOptions({webRoot, tcpRoot, force, signKey, productType, expiresInDays, expiresAt, deltaFrom});
    parser.process(app);

    QTextStream err(stderr);
    const QStringList positional = parser.positionalArguments();
    if (positional.size() == 2 && positional.at(0) == QLatin1String("keygen")) {
        return makeKeyPair(positional.at(1));
    }
    if (positional.size() != 3 || (!parser.isSet(webRoot) && !parser.isSet(tcpRoot))) {
        err << "usage: publish-release SOURCE VERSION FOLDER [--web-root DIR] [--tcp-root DIR] [--force]\n"
               "                       [--sign-key FILE [--product-type N] [--expires-in-days N | --expires "
               "TIME]]\n"
               "                       [--delta-from DIR ...]\n"
               "       publish-release keygen DIR\n"
               "       (at least one of --web-root and --tcp-root; --help for details)\n";
        return BadCommandLine;
    }
    QString error;
    QDateTime expires;
    if (!readExpiry(parser, expiresInDays, expiresAt, expires, error)) {
        err << "publish-release: " << error << "\n";
        return BadCommandLine;
    }
    if (parser.isSet(signKey) && parser.value(signKey).isEmpty()) {
        err << "publish-release: --sign-key needs the path of a secret key file\n";
        return BadCommandLine;
    }
    if (!parser.isSet(signKey) && (expires.isValid() || parser.isSet(productType))) {
        err << "publish-release: --product-type and the expiry describe the signed manifest; give --sign-key "
               "too\n";
        return BadCommandLine;
    }

    PublishRequest request;
    request.sourceDir = positional.at(0);
    request.version = positional.at(1);
    request.folder = positional.at(2);
    request.webRoot = parser.value(webRoot);
    request.tcpRoot = parser.value(tcpRoot);
    request.force = parser.isSet(force);
    request.signKeyFile = parser.value(signKey);
    request.productType = parser.value(productType);
    request.expires = expires;
    request.deltaFrom = parser.values(deltaFrom);

    ReleasePublisher publisher;
    if (!publisher.publish(request)) {
        err << "publish-release: " << publisher.lastError() << "\n";
        return Refused;
    }
    printSummary(request, publisher.summary());
    return Published;
}
