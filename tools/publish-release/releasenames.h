#pragma once

#include <QString>

/// The rules a published name must follow so that every updater can take it, over both channels
/// and on Windows, where the updater runs.
namespace ReleaseNames {

/// Longest file name and folder part, in UTF-8 bytes, that the TCP channel's fixed-size fields carry
/// whole (the folder part counted with a leading "/").
constexpr int MaxTcpFileNameBytes = 31;
constexpr int MaxTcpFolderBytes = 127;
/// Longest version text, in UTF-8 bytes, that a TCP version check carries whole.
constexpr int MaxTcpVersionBytes = 31;

/// Why a file at `relativePath` ("/"-separated, below the release folder, no leading "/") cannot be
/// published; empty when it can.
QString fileRefusal(const QString& relativePath);

/// Why `folder` cannot name a release folder (one plain folder name); empty when it can.
QString folderRefusal(const QString& folder);

/// Why `version` cannot be published as the version text; empty when it can.
QString versionRefusal(const QString& version);

/// True for the files the updater keeps for itself (the installed list and manifest, their staged
/// copies and the signed release manifest with its signature), in any case: the publisher writes
/// those, a copied installation must not bring its own.
bool isUpdaterBookkeeping(const QString& relativePath);

} // namespace ReleaseNames
