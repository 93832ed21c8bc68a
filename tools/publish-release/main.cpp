// publish-release: publishes the folder of a new version of a program for the updater, as the web
// tree of the HTTP channel and as the release folder of the TCP update service.

#include "releasepublisher.h"

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
    for (const QString& skipped : summary.skipped) {
        out << "  skipped:      " << skipped << " (the updater's own file; the publisher writes its own)\n";
    }
    out.flush();
    QTextStream err(stderr);
    for (const QString& warning : summary.warnings) {
        err << "warning: " << warning << "\n";
    }
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
        "serves (TCP-ROOT/FOLDER)."));
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
    parser.addOptions({webRoot, tcpRoot, force});
    parser.process(app);

    QTextStream err(stderr);
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 3 || (!parser.isSet(webRoot) && !parser.isSet(tcpRoot))) {
        err << "usage: publish-release SOURCE VERSION FOLDER [--web-root DIR] [--tcp-root DIR] [--force]\n"
               "       (at least one of --web-root and --tcp-root; --help for details)\n";
        return BadCommandLine;
    }

    PublishRequest request;
    request.sourceDir = positional.at(0);
    request.version = positional.at(1);
    request.folder = positional.at(2);
    request.webRoot = parser.value(webRoot);
    request.tcpRoot = parser.value(tcpRoot);
    request.force = parser.isSet(force);

    ReleasePublisher publisher;
    if (!publisher.publish(request)) {
        err << "publish-release: " << publisher.lastError() << "\n";
        return Refused;
    }
    printSummary(request, publisher.summary());
    return Published;
}
