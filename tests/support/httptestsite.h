#pragma once

#include "support/nginxserver.h"

#include <QString>
#include <QTemporaryDir>

#include <memory>

/// The surroundings of an in-process HTTP channel test run by UPDATER_SCRATCH_TEST_MAIN: an nginx
/// over a served folder, and system.cfg of the scratch installation pointing at it. start() must
/// come before the configuration store is first used, which reads system.cfg once.
///
/// Served below "slow/" is sent at 64 KiB/s, so that a test can act while a transfer runs; below
/// "stall/" at one byte a second, which a short transfer timeout sees as a stalled transfer;
/// "moved/..." answers with a permanent redirect to "release/...".
class HttpTestSite
{
public:
    static constexpr const char* TempValue = "temp/";

    bool start();
    QString lastError() const { return m_lastError; }
    QString baseUrl() const { return m_server ? m_server->baseUrl() : QString(); }
    QByteArray requestLog() const { return m_server ? m_server->requestLog() : QByteArray(); }

    /// The folder that nginx serves, with "/" at the end.
    QString servedRoot() const { return m_served.path() + QLatin1Char('/'); }
    /// The scratch installation folder, with "/" at the end.
    QString installFolder() const;

    /// Empties the served folder and the installation, except the test executable and system.cfg.
    void reset();

private:
    QTemporaryDir m_served;
    std::unique_ptr<NginxServer> m_server;
    QString m_lastError;
};
