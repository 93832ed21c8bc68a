#include "config/configmanager.h"

#include "config/confignames.h"
#include "config/folderpath.h"
#include "formats/inireader.h"
#include "platform/fileplatform.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <utility>
#include <vector>

namespace {

using KeyGroup = std::pair<const char*, std::vector<const char*>>;

const std::vector<KeyGroup>& systemKeys()
{
    using namespace ConfigNames;
    static const std::vector<KeyGroup> groups = {
        {SectionUpdate,
         {KeyUrl, KeyExeName, KeyHostExe, KeyUpdateExe, KeyUpdateHelperExe, KeyHttpEnable,
          KeyMaxConnections}},
        {SectionServer, {KeyUpdateServer, KeyUpdatePort}},
        {SectionGeneral, {KeyVersion, KeyLastCheckTime}},
        {SectionPaths, {KeyBackup, KeyTemp, KeyLog}},
        {SectionProject, {KeyName, KeyType}},
        {SectionSecurity, {KeyPublicKey, KeyPublicKeyNext}},
    };
    return groups;
}

const std::vector<KeyGroup>& manifestKeys()
{
    using namespace ConfigNames;
    static const std::vector<KeyGroup> groups = {
        {SectionSummary,
         {KeyUpdateType, KeyUpdateStrategy, KeyReleaseDate, KeyDescription, KeyInstallPackage}},
        {SectionVersion, {KeyVersion, KeyMinRequiredVersion}},
        {SectionRollBack, {KeyRollBackSrc, KeyRollBackDes, KeyRollBackTip}},
    };
    return groups;
}

/// Reads the known keys of an INI file as plain text; returns false (and leaves `values` alone)
/// when the file cannot be read or a section header is broken. A missing file is not an error:
/// every key is then empty.
bool readIni(const QString& path, const std::vector<KeyGroup>& groups, CConfigManager::Sections& values)
{
    IniReader reader(FilePlatform::pathCaseSensitivity());
    if (reader.load(path) != IniReader::Status::Ok || reader.hasFormatError()) {
        return false;
    }
    for (const auto& [group, keys] : groups) {
        const QString section = QString::fromStdString(group);
        for (const char* key : keys) {
            const QString name = QString::fromStdString(key);
            values[section][name] = reader.value(section + QLatin1Char('/') + name);
        }
    }
    return true;
}

QString lookup(const CConfigManager::Sections& values, const std::string& section, const std::string& key)
{
    const auto group = values.constFind(QString::fromStdString(section));
    if (group == values.constEnd()) {
        return QString();
    }
    return group->value(QString::fromStdString(key));
}

} // namespace

CConfigManager& CConfigManager::instance()
{
    static CConfigManager store(QCoreApplication::applicationDirPath() + QStringLiteral("/system.cfg"));
    return store;
}

CConfigManager::CConfigManager(const QString& configPath) : m_configPath(configPath)
{
    const QString dir = QFileInfo(configPath).path();
    m_systemConfigPath = dir + QLatin1Char('/') + QLatin1String(ConfigNames::SystemConfigFile);
    m_manifestPath = dir + QLatin1Char('/') + QLatin1String(ConfigNames::ManifestFile);
    readSourceValues();
    readSystemValues();
    readManifestValues();
}

void CConfigManager::readSourceValues()
{
    IniReader reader(FilePlatform::pathCaseSensitivity());
    if (reader.load(m_configPath) != IniReader::Status::Ok || reader.hasFormatError()) {
        return;
    }
    for (const char* key : {ConfigNames::KeyUrl, ConfigNames::KeyExeName}) {
        const QString name = QString::fromStdString(key);
        m_sourceValues.insert(name, reader.value(QStringLiteral("Update/") + name));
    }
}

void CConfigManager::readSystemValues()
{
    if (readIni(m_systemConfigPath, systemKeys(), m_systemValues)) {
        m_systemLoaded = true;
    }
}

void CConfigManager::readManifestValues()
{
    if (readIni(m_manifestPath, manifestKeys(), m_manifestValues)) {
        m_manifestLoaded = true;
    }
}

void CConfigManager::reload()
{
    m_systemValues.clear();
    readSystemValues();
    m_manifestValues.clear();
    readManifestValues();
}

QString CConfigManager::getValue(const std::string& section, const std::string& key) const
{
    return lookup(m_systemValues, section, key);
}

QString CConfigManager::getManifestValue(const std::string& section, const std::string& key) const
{
    return lookup(m_manifestValues, section, key);
}

QString CConfigManager::getSourceValue(const QString& key) const
{
    return m_sourceValues.value(key);
}

QString CConfigManager::getBackupDir() const
{
    return getValue(ConfigNames::SectionPaths, ConfigNames::KeyBackup);
}

QString CConfigManager::getVersion() const
{
    return getValue(ConfigNames::SectionGeneral, ConfigNames::KeyVersion);
}

QString CConfigManager::getHostExe() const
{
    return getValue(ConfigNames::SectionUpdate, ConfigNames::KeyHostExe);
}

QString CConfigManager::getLogDir() const
{
    return getValue(ConfigNames::SectionPaths, ConfigNames::KeyLog);
}

int CConfigManager::getProjectType() const
{
    const QString text = getValue(ConfigNames::SectionProject, ConfigNames::KeyType);
    if (text.isEmpty()) {
        return 1;
    }
    bool ok = false;
    const int type = text.toInt(&ok, 10);
    return ok && type >= 1 && type <= 6 ? type : 1;
}

QString CConfigManager::getTempDir() const
{
    return getValue(ConfigNames::SectionPaths, ConfigNames::KeyTemp);
}

QString CConfigManager::getTempDirWithSlash() const
{
    return withTrailingSlash(getTempDir());
}

QString CConfigManager::getUpdateExe() const
{
    return getValue(ConfigNames::SectionUpdate, ConfigNames::KeyUpdateExe);
}

QString CConfigManager::getUpdateHelperExe() const
{
    return getValue(ConfigNames::SectionUpdate, ConfigNames::KeyUpdateHelperExe);
}

QString CConfigManager::getUpdatePort() const
{
    return getValue(ConfigNames::SectionServer, ConfigNames::KeyUpdatePort);
}

QString CConfigManager::getUpdateServer() const
{
    return getValue(ConfigNames::SectionServer, ConfigNames::KeyUpdateServer);
}

bool CConfigManager::isHttpEnabled() const
{
    const QString value = getValue(ConfigNames::SectionUpdate, ConfigNames::KeyHttpEnable);
    return value.toLower() == QLatin1String("true") || value == QLatin1String("1");
}

int CConfigManager::getMaxConnections() const
{
    const QString text = getValue(ConfigNames::SectionUpdate, ConfigNames::KeyMaxConnections).trimmed();
    bool ok = false;
    const int connections = text.toInt(&ok, 10);
    if (!ok || connections < 1) {
        return DefaultMaxConnections;
    }
    return qMin(connections, MaxConnectionsLimit);
}

QStringList CConfigManager::getPublicKeys() const
{
    QStringList keys;
    for (const char* key : {ConfigNames::KeyPublicKey, ConfigNames::KeyPublicKeyNext}) {
        const QString text = getValue(ConfigNames::SectionSecurity, key).trimmed();
        if (!text.isEmpty()) {
            keys.append(text);
        }
    }
    return keys;
}
