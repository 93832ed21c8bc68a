#include "tcp/configuredframe.h"

#include "config/configmanager.h"
#include "formats/tcpprotocol.h"

QByteArray encodeFrame(qint32 type, const QByteArray& payload)
{
    return encodeFrame(type, payload, CConfigManager::instance().getProjectType());
}
