#include "apply/fileoperationmanager.h"

CFileOperationManager::CFileOperationManager(QObject* parent) : QObject(parent) {}

bool CFileOperationManager::initialize()
{
    return true;
}

bool CFileOperationManager::restoreFromBackup(const QString&, const QString&, const QStringList&)
{
    return false;
}

bool CFileOperationManager::restoreDirectory(const QString&, const QString&)
{
    return false;
}
