#pragma once

#include <QString>

/// Makes sure that only one updater per executable path runs at a time.
///
/// The lock is a one-byte named shared memory segment that lives as long as the process. A
/// segment left behind by a process that was killed (System V segments outlive their creator) is
/// cleared first, while one held by a live process still refuses the start.
class SingleInstanceGuard
{
public:
    /// Key derived from the executable's native path, so copies in other folders run side by side;
    /// every spelling of one path (on Windows: letter case, short names) gives the same key.
    static QString baseKey(const QString& applicationFilePath);

    /// Takes the lock for `baseKey`; false when another live process holds it.
    static bool acquire(const QString& baseKey);
};
