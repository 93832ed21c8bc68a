#pragma once

// Shared by the fault tests: a scratch installation of version 1.0 and the checks that every
// failed run must pass. Header only: helpers beside the tests are not compiled on their own.

#include "support/installsnapshot.h"
#include "support/scratchinstallation.h"

#include <QDir>
#include <QFileInfo>
#include <QTest>

namespace FaultRun {

/// What the installation holds before every run.
inline const QMap<QString, QByteArray>& installedFiles()
{
    static const QMap<QString, QByteArray> files = {
        {QStringLiteral("bin/core.dll"), "core 1.0"},
        {QStringLiteral("readme.txt"), "read me 1.0"},
        {QStringLiteral("data/settings.dat"), "kept"},
    };
    return files;
}

/// Folders a failed run may leave changed: its log and its (emptied or partial) temporary folder.
inline const QStringList& runFolders()
{
    static const QStringList folders = {QStringLiteral("logs"), QStringLiteral("temp")};
    return folders;
}

inline const QString HostMarker = QStringLiteral("host-started.txt");

/// Writes the old version, the marker host and system.cfg (offline values with `overrides`).
inline void installOldVersion(ScratchInstallation& installation, const QMap<QString, QString>& overrides = {})
{
    QVERIFY(installation.isValid());
    for (auto it = installedFiles().cbegin(); it != installedFiles().cend(); ++it) {
        QVERIFY(installation.writeFile(it.key(), it.value()));
    }
    QVERIFY(installation.writeMarkerHost(QStringLiteral("host.sh"), HostMarker));
    QMap<QString, QString> config = ScratchInstallation::offlineConfig();
    for (auto it = overrides.cbegin(); it != overrides.cend(); ++it) {
        config.insert(it.key(), it.value());
    }
    installation.writeConfig(config);
}

/// The installation without the folders a run may change.
inline QMap<QString, QByteArray> snapshot(const ScratchInstallation& installation)
{
    return snapshotFiles(installation.path(), runFolders());
}

/// Nothing beside the installation folder: no name a hostile server chose landed outside it.
inline QStringList filesBeside(const ScratchInstallation& installation)
{
    QDir parent = QFileInfo(installation.path()).dir();
    QStringList names;
    for (const QString& name :
         {QStringLiteral("evil.txt"), QStringLiteral("escaped"), QStringLiteral("outside.txt")}) {
        if (parent.exists(name) || QFileInfo::exists(QStringLiteral("/tmp/") + name)) {
            names << name;
        }
    }
    return names;
}

} // namespace FaultRun

/// The installation is exactly as before, no backup is left and the host was not started.
#define VERIFY_INSTALLATION_UNCHANGED(installation, before)                                                  \
    do {                                                                                                     \
        const auto after_ = FaultRun::snapshot(installation);                                                \
        QVERIFY2(after_ == (before), qPrintable(describeDifference(after_, (before))));                      \
        QVERIFY((installation).listFiles(QStringLiteral("backup")).isEmpty());                               \
        QVERIFY(!(installation).exists(FaultRun::HostMarker));                                               \
        QCOMPARE(FaultRun::filesBeside(installation), QStringList());                                        \
    } while (false)
