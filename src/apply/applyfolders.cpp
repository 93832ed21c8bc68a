#include "apply/applyfolders.h"

#include "config/confignames.h"

QString ApplyFolders::manifestDir() const
{
    return appDir + QLatin1String(ConfigNames::ManifestFolder);
}
