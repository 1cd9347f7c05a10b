#include "appversion.h"

const QString APP_VERSION = QStringLiteral("v1.1");

QString applicationTitle()
{
    return QStringLiteral("组合升级包生成工具") + APP_VERSION;
}
