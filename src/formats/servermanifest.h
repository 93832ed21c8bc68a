#pragma once

#include <QString>

/// The release that a manifest (update.ini) describes: group Version, keys Folder and Version.
///
/// Manifests come from the web server, so they are read as plain text (IniReader), never through
/// Qt's decoding of typed values, and a file that is not plain INI text is refused whole.
struct ServerManifest
{
    /// A server's manifest holds a handful of keys; anything larger is not a manifest.
    static constexpr qint64 MaxBytes = qint64{1024} * 1024;

    QString folder;
    QString version;
    /// Why the file was refused as a whole (too large, binary bytes, a typed value); empty when
    /// it was read.
    QString refusal;

    /// Reads the manifest at `path`. False when it is refused or Folder or Version is missing or
    /// empty; the fields then hold what was found.
    bool read(const QString& path);

    /// The Version/Version text of the manifest at `path` read as plain text, empty when absent.
    /// For the installed copy: whatever it holds, it is compared as text and replaced by the next
    /// update.
    static QString versionOf(const QString& path);

    /// The refusal of a manifest larger than MaxBytes.
    static QString tooLargeRefusal();
};
