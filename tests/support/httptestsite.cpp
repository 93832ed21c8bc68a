#include "support/httptestsite.h"
#include "support/files.h"

#include "support/httprelease.h"
#include "support/scratchtestmain.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

bool HttpTestSite::start()
{
    if (!runningInScratchFolder()) {
        m_lastError =
            QStringLiteral("HTTP site tests must run from a scratch copy (UPDATER_SCRATCH_TEST_MAIN)");
        return false;
    }
    m_server = std::make_unique<NginxServer>(m_served.path(),
                                             QStringLiteral("location /slow/ { limit_rate 64k; }\n"
                                                            "location /stall/ { limit_rate 1; }\n"
                                                            "location /moved/ { rewrite ^/moved/(.*)$ "
                                                            "/release/$1 permanent; }\n"));
    if (!m_server->start()) {
        m_lastError = m_server->lastError();
        return false;
    }
    const QByteArray config = "[Update]\nURL=" + m_server->baseUrl().toUtf8() +
                              "\nHttpEnable=true\n[Paths]\nTemp=" + QByteArray(TempValue) +
                              "\nBackup=backup/\n";
    if (!writeFile(installFolder() + QStringLiteral("system.cfg"), config)) {
        m_lastError = QStringLiteral("cannot write system.cfg");
        return false;
    }
    return true;
}

QString HttpTestSite::installFolder() const
{
    return scratchFolder();
}

void HttpTestSite::reset()
{
    if (!runningInScratchFolder()) {
        return;
    }
    if (m_server) {
        m_server->clearRequestLog();
    }
    QDir served(m_served.path());
    served.removeRecursively();
    served.mkpath(QStringLiteral("."));

    const QString executable = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    QDir install(installFolder());
    const QFileInfoList entries =
        install.entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
    for (const QFileInfo& entry : entries) {
        if (entry.fileName() == executable || entry.fileName() == QLatin1String("system.cfg")) {
            continue;
        }
        if (entry.isDir()) {
            QDir(entry.filePath()).removeRecursively();
        } else {
            QFile::remove(entry.filePath());
        }
    }
}
