#include "support/productresources.h"

#include <QFile>

bool loadProductResources()
{
    Q_INIT_RESOURCE(res);
    return QFile::exists(QStringLiteral(":/res/bk.png"));
}
