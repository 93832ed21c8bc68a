#pragma once

#include <QString>

/// Puts the staged copy of the updater in place of the installed one.
///
/// The installed program may still be running (and on Windows locked) for a moment after it
/// started the helper, so both steps retry for a bounded time.
class ProgramSwap
{
public:
    ProgramSwap(const QString& stagedPath, const QString& installedPath);

    /// Waits until no updater runs from `installedPath`; false when one still runs at the deadline.
    bool waitForExit(int timeoutMs);

    /// Replaces the installed program with the staged one in one step (write beside, rename over),
    /// retrying while the target is locked; false at the deadline or when nothing is staged.
    bool replace(int timeoutMs);

    QString lastError() const { return m_lastError; }

private:
    bool isUpdaterRunning() const;
    bool tryReplace();

    QString m_stagedPath;
    QString m_installedPath;
    QString m_lastError;
};
