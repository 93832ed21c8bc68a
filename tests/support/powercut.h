#pragma once

#include "support/crashloop.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

/// Power-cut tests of the apply steps. A power cut is harsher than a killed process: what was
/// written but not flushed may be lost, and so may folder entries changed since their folder's
/// last flush. The run under test is recorded once (the test-only operation record); from the
/// record, every disk that a power cut just before one of its flushes, or after its end, could
/// leave is laid out in a fresh installation: the worst case (all unflushed work lost), every
/// entry change kept with all unflushed data lost, and a few random mixtures (fixed seed). update.exe then
/// starts once on it; the installation must be the old or the new one byte for byte with no journal left, and
/// a later update must install.
namespace PowerCut {

/// The files, links and folders of an installation, relative to its folder.
struct Disk
{
    QMap<QString, QByteArray> files;
    QMap<QString, QString> links;
    QStringList folders;

    QByteArray key() const;
};

/// The distinct disks that power cuts in the recorded run could leave of `before`: for each flush
/// point (just before each flush, and after the last operation) the worst case, the case in
/// which every folder entry but no unflushed data made it, and `mixtures` random mixtures drawn
/// with `seed`. `flushPoints` receives the number of points.
QVector<Disk> disksAfterPowerCuts(const Disk& before, const QByteArray& record, int mixtures, quint32 seed,
                                  int& flushPoints);

/// Counts of a whole check: distinct disks started on, and flush points they came from.
struct Outcome
{
    int states = 0;
    int flushPoints = 0;
};

/// Records `run` on the staged installation, then checks every disk its power cuts could leave.
/// Returns the counts, or states -1 (with a warning) at the first disk that broke the promise.
Outcome checkEveryPowerCut(const CrashLoop::Stage& stage, const CrashLoop::Interrupt& run,
                           const CrashLoop::Snapshot& oldState, const CrashLoop::Snapshot& newState);

} // namespace PowerCut
