#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

#include <string>

/// The process-wide, read-only configuration store.
///
/// Reads system.cfg and the installed update.ini beside the executable once (and again on
/// `reload`) as plain text in Qt's INI syntax (IniReader: a release may bring either file, so
/// typed values are never decoded) and answers typed getters from memory. Every known key of a
/// file that was read is present, empty when the file lacks it. Nothing is ever written back.
class CConfigManager
{
public:
    using Section = QMap<QString, QString>;
    using Sections = QMap<QString, Section>;

    static constexpr int DefaultMaxConnections = 4;
    /// Qt opens at most six connections to one server; more requests would only queue.
    static constexpr int MaxConnectionsLimit = 6;

    static CConfigManager& instance();

    /// Builds a store over the given system.cfg; the manifest is update.ini in the same folder.
    explicit CConfigManager(const QString& configPath);

    QString getValue(const std::string& section, const std::string& key) const;
    QString getManifestValue(const std::string& section, const std::string& key) const;
    QString getSourceValue(const QString& key) const;
    void reload();
    bool isLoaded() const { return m_systemLoaded; }

    QString getBackupDir() const;
    QString getVersion() const;
    QString getHostExe() const;
    QString getLogDir() const;
    int getProjectType() const;
    QString getTempDir() const;
    QString getTempDirWithSlash() const;
    QString getUpdateExe() const;
    QString getUpdateHelperExe() const;
    QString getUpdatePort() const;
    QString getUpdateServer() const;
    bool isHttpEnabled() const;
    /// HTTP downloads in flight at once ([Update] MaxConnections): DefaultMaxConnections when the
    /// key is missing, not a number or below 1, at most MaxConnectionsLimit.
    int getMaxConnections() const;
    /// The configured release keys as written ([Security] PublicKey, then PublicKeyNext), empty
    /// ones left out; none means releases are installed unauthenticated.
    QStringList getPublicKeys() const;

private:
    void readSourceValues();
    void readSystemValues();
    void readManifestValues();

    QString m_configPath;
    QString m_systemConfigPath;
    QString m_manifestPath;
    Section m_sourceValues;
    Sections m_systemValues;
    Sections m_manifestValues;
    bool m_systemLoaded = false;
    bool m_manifestLoaded = false;
};
