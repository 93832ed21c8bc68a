#include "http/networkaccess.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QStringList>

namespace NetworkAccess {

QNetworkAccessManager* createManager(QObject* parent)
{
    // The bearer plugin loader reads the library paths once, when the first manager is built;
    // the platform and image-format loaders have read them already and keep what they found.
    const QStringList pluginFolders = QCoreApplication::libraryPaths();
    QCoreApplication::setLibraryPaths(QStringList());
    auto* manager = new QNetworkAccessManager(parent);
    QCoreApplication::setLibraryPaths(pluginFolders);
    return manager;
}

} // namespace NetworkAccess
