#pragma once

#include <QString>

/// The folders one apply works with. Paths use forward slashes and end in "/"; relative paths and
/// file names are appended to them directly.
struct ApplyFolders
{
    QString appDir;    ///< the installation folder
    QString tempDir;   ///< the downloaded files
    QString backupDir; ///< the saved copies of the installed files

    /// The installed manifest's folder, installation folder + "update/".
    QString manifestDir() const;
};
