#pragma once

/// The names that tie the updater to its surroundings: sections and keys of system.cfg and of the
/// installed manifest update.ini, fixed file names and folder names. Exact and case-sensitive.
namespace ConfigNames {

// system.cfg sections
inline constexpr const char* SectionUpdate = "Update";
inline constexpr const char* SectionServer = "Server";
inline constexpr const char* SectionGeneral = "General";
inline constexpr const char* SectionPaths = "Paths";
inline constexpr const char* SectionProject = "Project";
inline constexpr const char* SectionSecurity = "Security";

// [Update]
inline constexpr const char* KeyUrl = "URL";
inline constexpr const char* KeyExeName = "ExeName";
inline constexpr const char* KeyHostExe = "HostExe";
inline constexpr const char* KeyUpdateExe = "UpdateExe";
inline constexpr const char* KeyUpdateHelperExe = "UpdateHelperExe";
inline constexpr const char* KeyHttpEnable = "HttpEnable";
inline constexpr const char* KeyMaxConnections = "MaxConnections";
// [Server]
inline constexpr const char* KeyUpdateServer = "UpdateServer";
inline constexpr const char* KeyUpdatePort = "UpdatePort";
// [General]
inline constexpr const char* KeyVersion = "Version";
inline constexpr const char* KeyLastCheckTime = "LastCheckTime";
// [Paths]
inline constexpr const char* KeyBackup = "Backup";
inline constexpr const char* KeyTemp = "Temp";
inline constexpr const char* KeyLog = "Log";
// [Project]
inline constexpr const char* KeyName = "Name";
inline constexpr const char* KeyType = "Type";
// [Security]: base64 Ed25519 public keys; the next one lets a release signed with it install
// while the vendor rotates keys.
inline constexpr const char* KeyPublicKey = "PublicKey";
inline constexpr const char* KeyPublicKeyNext = "PublicKeyNext";

// Manifest (update.ini / updateTmp.ini) sections and keys
inline constexpr const char* SectionSummary = "Summary";
inline constexpr const char* SectionVersion = "Version";
inline constexpr const char* SectionRollBack = "RollBack";
inline constexpr const char* KeyUpdateType = "UpdateType";
inline constexpr const char* KeyUpdateStrategy = "UpdateStrategy";
inline constexpr const char* KeyReleaseDate = "ReleaseDate";
inline constexpr const char* KeyDescription = "Description";
inline constexpr const char* KeyInstallPackage = "InstallPackage";
inline constexpr const char* KeyFolder = "Folder";
inline constexpr const char* KeyMinRequiredVersion = "MinRequiredVersion";
inline constexpr const char* KeyRollBackSrc = "RollBackSrc";
inline constexpr const char* KeyRollBackDes = "RollBackDes";
inline constexpr const char* KeyRollBackTip = "RollBackTip";

// Files
inline constexpr const char* SystemConfigFile = "system.cfg";
inline constexpr const char* ManifestFile = "update.ini";
inline constexpr const char* StagedManifestFile = "updateTmp.ini";
inline constexpr const char* Md5ListFile = "md5.txt";
inline constexpr const char* StagedMd5ListFile = "md5Tmp.txt";
inline constexpr const char* LogFile = "update.log";
inline constexpr const char* UpdaterExe = "update.exe";

// Folders (relative to the installation folder, with trailing "/")
inline constexpr const char* ManifestFolder = "update/";
inline constexpr const char* LeftoverFolder = "UpdateTmp/";

// Command-line switches
inline constexpr const char* SwitchConsole = "console";
inline constexpr const char* SwitchVerify = "verify";
inline constexpr const char* SwitchUpdateHelper = "updatehelper";
inline constexpr const char* SwitchHelperSuccess = "HelperSuccess";
inline constexpr const char* SwitchHelperFailed = "HelperFaile";

} // namespace ConfigNames
