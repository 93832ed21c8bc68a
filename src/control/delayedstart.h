#pragma once

#include <QString>
#include <QStringList>

/// Starts `program` with `arguments` about one second from now through a self-deleting script in
/// a private folder of its own below the system temporary folder, so that the updater can quit
/// first. Falls back to starting the program directly when the script cannot be written or
/// started. Never waits.
void startDelayed(const QString& program, const QStringList& arguments);
