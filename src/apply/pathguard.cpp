#include "apply/pathguard.h"

#include "config/folderpath.h"
#include "platform/fileplatform.h"

#include <QDir>
#include <QFileInfo>

namespace {

bool isSameOrBelow(const QString& path, const QString& root)
{
    const Qt::CaseSensitivity cs = FilePlatform::pathCaseSensitivity();
    return path.compare(root, cs) == 0 || path.startsWith(withTrailingSlash(root), cs);
}

} // namespace

PathGuard::PathGuard(const QString& root) : m_root(resolve(root)) {}

bool PathGuard::contains(const QString& path) const
{
    return containsResolved(resolve(path));
}

bool PathGuard::containsResolved(const QString& resolvedPath) const
{
    return !m_root.isEmpty() && !resolvedPath.isEmpty() && isSameOrBelow(resolvedPath, m_root);
}

QString PathGuard::resolve(const QString& path)
{
    QString existing = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    QString rest;
    while (!QFileInfo::exists(existing)) {
        if (QFileInfo(existing).isSymLink()) {
            return QString();
        }
        const QFileInfo info(existing);
        const QString parent = info.path();
        if (parent == existing) {
            break;
        }
        rest = rest.isEmpty() ? info.fileName() : info.fileName() + QLatin1Char('/') + rest;
        existing = parent;
    }
    const QString canonical = QFileInfo(existing).canonicalFilePath();
    if (canonical.isEmpty()) {
        return QString();
    }
    return rest.isEmpty() ? canonical : withTrailingSlash(canonical) + rest;
}

bool PathGuard::isRelativeInside(const QString& value)
{
    if (value.isEmpty() || value.startsWith(QLatin1Char('/')) || value.startsWith(QLatin1Char('\\')) ||
        value.contains(QLatin1Char(':')) || QDir::isAbsolutePath(value)) {
        return false;
    }
    QString separated = value;
    separated.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return !separated.split(QLatin1Char('/')).contains(QLatin1String(".."));
}

bool PathGuard::isSafeRunFolder(const QString& installDir, const QString& folder)
{
    const QString installPrefix = withTrailingSlash(installDir);
    if (!folder.startsWith(installPrefix) || !isRelativeInside(folder.mid(installPrefix.size()))) {
        return false;
    }
    const QString install = resolve(installDir);
    const QString run = resolve(folder);
    return !install.isEmpty() && !run.isEmpty() && isSameOrBelow(run, install) &&
           run.compare(install, FilePlatform::pathCaseSensitivity()) != 0;
}
