#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

/// Lower-case hex MD5 of `content`, as the MD5 list writes it.
QString md5Hex(const QByteArray& content);

/// Lays out a release for the HTTP channel below `root`: root/update.ini naming `folder` and
/// `version`, every file of `files` (relative path without leading "/" -> content) below
/// root/folder/, and root/folder/md5.txt listing them in the updater's key form ("/" + path).
bool writeHttpRelease(const QString& root, const QString& folder, const QString& version,
                      const QMap<QString, QByteArray>& files);

/// Adds to the release below root/folder/ the patch that turns `base` into `content` at `path`
/// (relative, without leading "/"), and its line in the release's delta.txt.
bool writeHttpPatch(const QString& root, const QString& folder, const QString& path, const QByteArray& base,
                    const QByteArray& content);

/// The md5.txt text for `files` (same form as writeHttpRelease), sorted by key.
QByteArray md5ListText(const QMap<QString, QByteArray>& files);

/// The manifest text (update.ini) with group Version holding `folder` and `version`.
QByteArray manifestText(const QString& folder, const QString& version);
