#pragma once

#include <QString>

/// `folder` ending in exactly the "/" it may lack. Folder values are joined to names by plain
/// concatenation, so every folder path that is built from configuration goes through this.
inline QString withTrailingSlash(const QString& folder)
{
    return folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
}
