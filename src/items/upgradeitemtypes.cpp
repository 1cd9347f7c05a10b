#include "upgradeitemtypes.h"

const QStringList upgradeTypeKeys = {
    QStringLiteral("hmi"),      QStringLiteral("dravo"), QStringLiteral("robot_configuration"),
    QStringLiteral("3d_model"), QStringLiteral("logo"),  QStringLiteral("servo"),
    QStringLiteral("language"),
};

QString typeKeyForIndex(int index)
{
    if (static_cast<unsigned>(index) < static_cast<unsigned>(upgradeTypeKeys.size()))
        return upgradeTypeKeys.at(index);
    return QString();
}
