#include "upgradeitemtypes.h"

const QStringList upgradeTypeKeys = {
    QStringLiteral("hmi"),      QStringLiteral("dravo"), QStringLiteral("robot_configuration"),
    QStringLiteral("3d_model"), QStringLiteral("logo"),  QStringLiteral("servo"),
    QStringLiteral("language"),
};

namespace {

// The chooser's labels, index for index; the row's form shows the same texts.
const QStringList typeLabels = {
    QStringLiteral("HMI"),    QStringLiteral("控制器"),   QStringLiteral("机型文件"),
    QStringLiteral("3D模型"), QStringLiteral("定制logo"), QStringLiteral("伺服参数"),
    QStringLiteral("语言包"), QStringLiteral("组合包"),
};

} // namespace

QString typeKeyForIndex(int index)
{
    if (static_cast<unsigned>(index) < static_cast<unsigned>(upgradeTypeKeys.size()))
        return upgradeTypeKeys.at(index);
    return QString();
}

QString typeLabelForIndex(int index)
{
    return typeLabels.value(index);
}

QString typeLabelForKey(const QString &key)
{
    const int index = upgradeTypeKeys.indexOf(key);
    return index >= 0 ? typeLabels.at(index) : key;
}
