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

    /// The absolute, cleaned path that `path` leads to; empty when a link on the way dangles.
    static QString resolve(const QString& path);

    /// True when `folder` may serve as the temporary or backup folder of `installDir`: it must be
    /// neither the installation folder itself nor one of its parents, since the apply steps copy
    /// out of it and clear it.
    static bool isSafeRunFolder(const QString& installDir, const QString& folder);

private:
    QString m_root;
};
