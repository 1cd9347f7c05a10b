#include "packagefailure.h"

#include "portablename.h"

#include <cerrno>

namespace {

QString causeText(const PackageFailure &f)
{
    using F = PackageFailure;
    switch (f.reason) {
    case F::NoReason:
        return QString();
    case F::NotFound:
        return QStringLiteral("文件不存在");
    case F::NotRegularFile:
        return QStringLiteral("不是普通文件");
    case F::NoReadPermission:
        return QStringLiteral("没有读取权限");
    case F::NoWritePermission:
        return QStringLiteral("没有写入权限");
    case F::DiskFull:
        return QStringLiteral("磁盘空间不足");
    case F::ModifiedWhilePacking:
        return QStringLiteral("文件在打包过程中被修改");
    case F::ReadError:
        return QStringLiteral("读取失败（%1）").arg(f.detail);
    case F::WriteError:
        return QStringLiteral("写入失败（%1）").arg(f.detail);
    case F::NotZip:
        return QStringLiteral("不是有效的ZIP文件（%1）").arg(f.detail);
    case F::EntryNameRepeated:
        return QStringLiteral("组合包中存在同名文件%1").arg(f.detail);
    case F::UnsafeEntryName:
        return QStringLiteral("组合包中的文件名%1指向包外").arg(f.detail);
    case F::LinkEntry:
        return QStringLiteral("组合包中的%1是符号链接").arg(f.detail);
    case F::EncryptedEntry:
        return QStringLiteral("组合包中的%1已加密").arg(f.detail);
    case F::UnsupportedMethod:
        return QStringLiteral("组合包中的%1使用了不支持的压缩方式").arg(f.detail);
    case F::ManifestMissing:
        return QStringLiteral("组合包中缺少upgrade_package_config.json");
    case F::ManifestTooLarge:
        return QStringLiteral("组合包中的upgrade_package_config.json超过1 MiB");
    case F::ManifestNotObject:
        return QStringLiteral("组合包中的upgrade_package_config.json不是JSON对象");
    case F::MemberInvalid:
        return QStringLiteral("组合包中%1项没有有效的文件名").arg(f.key);
    case F::KeyCaseClash:
        return QStringLiteral("组合包中的类型%1与%2仅大小写不同").arg(f.key, f.detail);
    case F::NamedEntryMissing:
        return QStringLiteral("组合包中%1项所指的文件%2不存在").arg(f.key, f.detail);
    case F::NamedEntryNotFile:
        return QStringLiteral("组合包中%1项所指的%2不是普通文件").arg(f.key, f.detail);
    case F::UnnamedEntry:
        return QStringLiteral("组合包中的%1未列在upgrade_package_config.json中").arg(f.detail);
    case F::EntryCorrupt:
        return QStringLiteral("组合包中的%1已损坏（CRC校验失败）").arg(f.detail);
    case F::PackageChanged:
        return QStringLiteral("组合包在打包过程中被修改");
    }
    return QString();
}

QString withPath(const QString &reason, const QString &path)
{
    if (path.isEmpty())
        return reason;
    return reason.isEmpty() ? path : reason + QStringLiteral("：") + path;
}

// What is wrong with a package name the user typed, and why it matters.
PackageMessage nameMessage(const PackageFailure &f)
{
    const QString title = QStringLiteral("文件名错误");
    const QString portable = QStringLiteral("升级包会被复制到Windows电脑和U盘（FAT/exFAT）上，"
                                            "名称须在这些系统上都能使用");
    switch (NameProblem::Kind(f.nameProblem)) {
    case NameProblem::Separator:
        return {title, QStringLiteral("生成压缩包文件名不能包含“%1”").arg(f.detail),
                QStringLiteral("名称中不能有文件夹；文件夹请在“生成升级包位置”中选择")};
    case NameProblem::DotName:
        return {title, QStringLiteral("生成压缩包文件名不能是“%1”").arg(f.subject), QString()};
    case NameProblem::ForbiddenCharacter:
        return {title, QStringLiteral("生成压缩包文件名不能包含字符“%1”").arg(f.detail),
                portable + QStringLiteral("；不能使用的字符：< > : \" | ? *")};
    case NameProblem::ControlCharacter:
        return {title,
                QStringLiteral("生成压缩包文件名不能包含控制字符（U+%1）")
                    .arg(QString::number(f.detail.isEmpty() ? 0 : f.detail.at(0).unicode(), 16)
                             .toUpper()
                             .rightJustified(4, QLatin1Char('0'))),
                QString()};
    case NameProblem::DeviceName:
        return {title, QStringLiteral("生成压缩包文件名不能是Windows设备名“%1”").arg(f.subject),
                QStringLiteral("CON、PRN、AUX、NUL、COM1–COM9、LPT1–LPT9（带不带扩展名）"
                               "在Windows上不能用作文件名")};
    case NameProblem::LeadingBlank:
        return {title, QStringLiteral("生成压缩包文件名不能以空格开头"), QString()};
    case NameProblem::TrailingBlank:
        return {title, QStringLiteral("生成压缩包文件名不能以空格结尾"), portable};
    case NameProblem::TrailingDot:
        return {title, QStringLiteral("生成压缩包文件名不能以“.”结尾"), portable};
    case NameProblem::TooLong:
        return {title, QStringLiteral("生成压缩包文件名过长"),
                QStringLiteral("“%1.zip”共%2字节，文件名最多%3字节")
                    .arg(f.subject)
                    .arg(f.detail)
                    .arg(fileNameByteLimit)};
    case NameProblem::None:
    case NameProblem::Empty:
        break;
    }
    return {title, QStringLiteral("生成压缩包文件名为空"), QString()};
}

} // namespace

PackageMessage packageMessage(const PackageFailure &f)
{
    using F = PackageFailure;
    const QString cause = withPath(causeText(f), f.path);
    switch (f.kind) {
    case F::None:
    case F::Cancelled:
        return {};
    case F::NoOutputFolder:
        return {QStringLiteral("路径不存在"), QStringLiteral("压缩包生成路径不存在"),
                f.path.isEmpty() ? QStringLiteral("未填写生成升级包位置")
                                 : QStringLiteral("不是已有的文件夹：") + f.path};
    case F::EmptyPackageName:
        return {QStringLiteral("文件名错误"), QStringLiteral("生成压缩包文件名为空"), QString()};
    case F::PackageNameInvalid:
        return nameMessage(f);
    case F::ArchiveExists:
        return {QStringLiteral("升级包已存在"), f.path, QStringLiteral("用 --force 替换它")};
    case F::TypeRepeated:
        return {QStringLiteral("类型重复"),
                QStringLiteral("一个升级包内同一类型升级项仅可存在一个"),
                QStringLiteral("重复的类型：") + f.subject};
    case F::ItemMissing:
        return {QStringLiteral("文件不存在"),
                QStringLiteral("%1文件不存在，请检查对应路径").arg(f.subject),
                f.path.isEmpty() ? QStringLiteral("未填写文件路径")
                                 : QStringLiteral("找不到：") + f.path};
    case F::ItemUnreadable:
        return {QStringLiteral("文件无法读取"),
                QStringLiteral("%1文件无法读取，请检查权限").arg(f.subject),
                QStringLiteral("没有读取权限：") + f.path};
    case F::ItemIsArchive:
        return {QStringLiteral("路径冲突"),
                QStringLiteral("%1文件不能与生成的升级包相同").arg(f.subject), f.path};
    case F::FileNameRepeated:
        return {QStringLiteral("文件名重复"),
                QStringLiteral("升级包内存在同名文件%1，请重命名后重试").arg(f.subject), cause};
    case F::PackageRefused:
        return {QStringLiteral("解压失败"), QStringLiteral("HMI和控制器升级包解压失败!"), cause};
    case F::WriteFailed:
        return {QStringLiteral("打包失败"), QStringLiteral("文件压缩失败!"), cause};
    }
    return {};
}

PackageFailure writeFailure(PackageFailure::Reason reason, const QString &path,
                            const QString &detail)
{
    PackageFailure f;
    f.kind = PackageFailure::WriteFailed;
    f.reason = reason;
    f.path = path;
    f.detail = detail;
    return f;
}

PackageFailure packageRefusal(PackageFailure::Reason reason, const QString &path,
                              const QString &detail, const QString &key)
{
    PackageFailure f;
    f.kind = PackageFailure::PackageRefused;
    f.reason = reason;
    f.path = path;
    f.detail = detail;
    f.key = key;
    return f;
}

PackageFailure cancelledRun()
{
    PackageFailure f;
    f.kind = PackageFailure::Cancelled;
    return f;
}

PackageFailure::Reason reasonForReadError(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return PackageFailure::NotFound;
    case EACCES:
    case EPERM:
        return PackageFailure::NoReadPermission;
    default:
        return PackageFailure::ReadError;
    }
}

PackageFailure::Reason reasonForWriteError(int error)
{
    switch (error) {
    case ENOSPC:
    case EFBIG:
#ifdef EDQUOT
    case EDQUOT:
#endif
        return PackageFailure::DiskFull;
    case EACCES:
    case EPERM:
    case EROFS:
        return PackageFailure::NoWritePermission;
    default:
        return PackageFailure::WriteError;
    }
}
