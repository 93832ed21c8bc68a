#pragma once

class QNetworkAccessManager;
class QObject;

namespace NetworkAccess {

/// A network access manager for plain HTTP transfers, owned by `parent`.
///
/// Qt 5 builds bearer management into every manager, and the first one of a process loads every
/// bearer plugin it finds (with them D-Bus and systemd clients on Linux) to list the network
/// configurations. The updater never chooses a configuration or a session, so the first manager
/// is built while no plugin folder is visible: no bearer engine is loaded for the whole process,
/// and requests go straight to the system's network stack. The plugin folders are restored at once.
QNetworkAccessManager* createManager(QObject* parent);

} // namespace NetworkAccess
