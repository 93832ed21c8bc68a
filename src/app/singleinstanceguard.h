#pragma once

#include <QString>

/// Makes sure that only one updater per installation folder runs at a time.
///
/// The lock is a one-byte named shared memory segment that lives as long as the process. A
/// segment left behind by a process that was killed (System V segments outlive their creator) is
/// cleared first, while one held by a live process still refuses the start.
class SingleInstanceGuard
{
public:
    /// Key derived from the canonical path of the executable's folder (case-folded where file names
    /// ignore case), so that a second name for the updater in the same installation is refused
    /// while copies in other folders run side by side.
    static QString baseKey(const QString& applicationFilePath);

    /// Takes the lock for `baseKey`; false when another live process holds it.
    static bool acquire(const QString& baseKey);
};
