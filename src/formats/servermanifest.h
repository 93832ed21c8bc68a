#pragma once

#include <QString>

/// The release that a manifest (update.ini) describes: group Version, keys Folder and Version.
///
/// Manifests come from the web server, so the reading must cope with any bytes; it goes through
/// Qt's INI reader like every other configuration file of the updater.
struct ServerManifest
{
    QString folder;
    QString version;

    /// Reads the manifest at `path`. False when Folder or Version is missing or empty; the fields
    /// then hold what was found.
    bool read(const QString& path);

    /// The Version/Version text of the manifest at `path`, empty when absent.
    static QString versionOf(const QString& path);
};
