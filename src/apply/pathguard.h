#pragma once

#include <QString>

/// Keeps the apply steps inside the installation folder.
///
/// Paths are judged by where they really lead: symbolic links that exist on the way are followed,
/// and the part of a path that does not exist yet is appended to the resolved part. A path that
/// cannot be resolved (a dangling link) counts as outside.
class PathGuard
{
public:
    explicit PathGuard(const QString& root);

    /// True when `path` is the root or lies below it.
    bool contains(const QString& path) const;

    /// The same for a path that resolve() gave already.
    bool containsResolved(const QString& resolvedPath) const;

    /// The absolute, cleaned path that `path` leads to; empty when a link on the way dangles.
    static QString resolve(const QString& path);

    /// True when a configured value (Temp, Backup, UpdateExe) names a place inside the installation
    /// by its text alone: not empty, relative (no leading separator, no drive letter or other
    /// colon) and without ".." segments. Backslashes count as separators, as on Windows.
    static bool isRelativeInside(const QString& value);

    /// True when `folder` may serve as the temporary or backup folder of `installDir`: it is
    /// `installDir` followed by a value that passes isRelativeInside, and what it leads to, links
    /// followed, lies strictly below the installation folder. The apply steps copy out of such a
    /// folder and clear it, so it must be neither the installation, nor above or beside it.
    static bool isSafeRunFolder(const QString& installDir, const QString& folder);

private:
    QString m_root;
};
