#include "apply/updateapplier.h"

#include "apply/fileoperationmanager.h"

CUpdateApplier::CUpdateApplier(const QString& appDir, const QString& tempDir, const QString& backupDir,
                               CFileOperationManager* fileManager)
    : m_appDir(appDir), m_tempDir(tempDir), m_backupDir(backupDir), m_fileManager(fileManager)
{
}

bool CUpdateApplier::recoverInterruptedApply()
{
    return true;
}

bool CUpdateApplier::backupFiles()
{
    return false;
}

bool CUpdateApplier::replaceFiles()
{
    return false;
}

bool CUpdateApplier::rollbackFiles()
{
    return false;
}

bool CUpdateApplier::checkSelfUpdate()
{
    return false;
}

void CUpdateApplier::deleteTempFiles() {}
