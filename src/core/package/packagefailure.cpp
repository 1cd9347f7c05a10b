#include "packagefailure.h"

#include "displaypath.h"
#include "portablename.h"
#include "visibletext.h"

#include <QFileInfo>

namespace {

QString nameProblemText(const PackageFailure &f)
{
    switch (NameProblem::Kind(f.nameProblem)) {
    case NameProblem::ForbiddenCharacter:
        return QStringLiteral("含有字符“%1”").arg(f.specifics);
    case NameProblem::ControlCharacter:
        return QStringLiteral("含有控制字符");
    case NameProblem::DeviceName:
        return QStringLiteral("是Windows设备名");
    case NameProblem::TrailingBlank:
        return QStringLiteral("以空格结尾");
    case NameProblem::TrailingDot:
        return QStringLiteral("以“.”结尾");
    case NameProblem::TooLong:
        return QStringLiteral("超过255字节");
    case NameProblem::InvalidText:
        return QStringLiteral("不是有效的Unicode文本");
    default:
        return QStringLiteral("不是有效的文件名");
    }
}

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
    case F::FileTooLarge:
        return QStringLiteral("升级包超出了文件大小上限（%1）").arg(f.detail);
    case F::ArchiveInUse:
        return QStringLiteral("升级包正被其他程序使用，无法替换；请关闭该程序后重试");
    case F::ArchiveAppeared:
        return QStringLiteral("打包期间有另一个文件出现在此处；它保持不变，新的升级包未写入");
    case F::ModifiedWhilePacking:
        return QStringLiteral("文件在打包过程中被修改");
    case F::ReadError:
        return QStringLiteral("读取失败（%1）").arg(f.detail);
    case F::WriteError:
        return QStringLiteral("写入失败（%1）").arg(f.detail);
    case F::NotZip:
        return QStringLiteral("不是有效的ZIP文件（%1）").arg(f.detail);
    case F::TooManyEntries:
        return QStringLiteral("组合包中有%1个条目，最多65535个").arg(f.detail);
    case F::DirectoryTooLarge:
        return QStringLiteral("组合包的中央目录超过64 MiB");
    case F::DataBeforeEntries:
        return QStringLiteral("组合包的第一个条目之前有%1字节多余数据").arg(f.detail);
    case F::DataBetweenEntries:
        return f.detail.isEmpty() ? QStringLiteral("组合包的条目与中央目录之间有多余数据")
                                  : QStringLiteral("组合包中的%1之后有多余数据").arg(f.detail);
    case F::DataAfterEnd:
        return QStringLiteral("组合包的结束记录之后有多余数据");
    case F::CommentHoldsEndRecord:
        return QStringLiteral("组合包的注释中含有另一个结束记录");
    case F::Zip64Mismatch:
        return QStringLiteral("组合包的ZIP64结束记录与结束记录不一致");
    case F::EntriesOverlap:
        return QStringLiteral("组合包中的%1与其他条目或中央目录重叠").arg(f.detail);
    case F::EntryPastEnd:
        return QStringLiteral("组合包中的%1超出了文件末尾").arg(f.detail);
    case F::LocalHeaderMismatch:
        return QStringLiteral("组合包中%1的本地文件头与中央目录不一致（%2）")
            .arg(f.detail, f.specifics);
    case F::DataDescriptorMismatch:
        return QStringLiteral("组合包中%1的数据描述符与中央目录不一致").arg(f.detail);
    case F::ExtraFieldInvalid:
        return QStringLiteral("组合包中%1的扩展字段格式错误（%2）").arg(f.detail, f.specifics);
    case F::UnicodePathMismatch:
        return QStringLiteral("组合包中%1的Unicode路径字段给出了另一个名称%2")
            .arg(f.detail, f.specifics);
    case F::EntryTooLarge:
        return QStringLiteral("组合包中的%1声明的大小超过2^53字节").arg(f.detail);
    case F::EntryCorrupt:
        return QStringLiteral("组合包中的%1已损坏（%2）").arg(f.detail, f.specifics);
    case F::UnsupportedMethod:
        return QStringLiteral("组合包中的%1使用了不支持的压缩方式（%2）")
            .arg(f.detail, f.specifics);
    case F::EncryptedEntry:
        return QStringLiteral("组合包中的%1已加密").arg(f.detail);
    case F::LinkEntry:
        return QStringLiteral("组合包中的%1是符号链接").arg(f.detail);
    case F::UnsafeEntryName:
        return QStringLiteral("组合包中的文件名%1指向包外").arg(f.detail);
    case F::UnportableEntryName:
        return QStringLiteral("组合包中的文件名%1在Windows或U盘上不能使用（%2）")
            .arg(f.detail, nameProblemText(f));
    case F::EntryNameRepeated:
        return QStringLiteral("组合包中存在同名文件%1").arg(f.detail);
    case F::ManifestMissing:
        return QStringLiteral("组合包中缺少upgrade_package_config.json");
    case F::ManifestInFolder:
        return QStringLiteral("清单在文件夹 %1 中：请压缩文件夹里的文件，而不是文件夹本身")
            .arg(f.detail);
    case F::ManifestTooLarge:
        return QStringLiteral("组合包中的upgrade_package_config.json超过1 MiB");
    case F::ManifestNotObject:
        return QStringLiteral("组合包中的upgrade_package_config.json不是JSON对象");
    case F::MemberInvalid:
        return QStringLiteral("组合包中%1项没有有效的文件名").arg(f.key);
    case F::KeyImitatesType:
        if (f.detail.isEmpty() && f.nameProblem == NameProblem::InvalidText)
            return QStringLiteral("组合包中的类型“%1”不是有效的Unicode文本").arg(f.key);
        if (f.detail.isEmpty())
            return QStringLiteral("组合包中的类型“%1”含有控制字符").arg(f.key);
        return QStringLiteral("组合包中的类型“%1”与%2相近（大小写、空白或全角不同）")
            .arg(f.key, f.detail);
    case F::NamedEntryMissing:
        return QStringLiteral("组合包中%1项所指的文件%2不存在").arg(f.key, f.detail);
    case F::NamedEntryNotFile:
        return QStringLiteral("组合包中%1项所指的%2不是普通文件").arg(f.key, f.detail);
    case F::PackageChanged:
        return QStringLiteral("组合包在打包过程中被修改");
    case F::EntryLeftOut:
        return QStringLiteral("未列入清单、未打包：%1").arg(f.detail);
    }
    return QString();
}

QString withPath(const QString &reason, const QString &path)
{
    if (path.isEmpty())
        return reason;
    return reason.isEmpty() ? quotedPath(path) : reason + QStringLiteral("：") + quotedPath(path);
}

// A path that was not found may be one pasted with a blank at its end.
QString notFoundHint(const PackageFailure &f)
{
    if (f.path.isEmpty())
        return QString();
    if (f.kind == PackageFailure::NoOutputFolder)
        return blankEndsHint(f.path, WantedPath::Folder);
    if (f.kind == PackageFailure::ItemMissing || f.reason == PackageFailure::NotFound)
        return blankEndsHint(f.path, WantedPath::AnyFile);
    return QString();
}

// The hint on a line of its own beneath the cause.
QString withHint(const QString &cause, const PackageFailure &f)
{
    const QString hint = notFoundHint(f);
    return hint.isEmpty() ? cause : cause + QLatin1Char('\n') + hint;
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
                    .arg(QString::number(f.detail.toUcs4().value(0), 16)
                             .toUpper()
                             .rightJustified(4, QLatin1Char('0'))),
                QString()};
    case NameProblem::InvalidText:
        return {title, QStringLiteral("生成压缩包文件名不是有效的Unicode文本"), QString()};
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

PackageMessage messageFor(const PackageFailure &f)
{
    using F = PackageFailure;
    const QString cause = withHint(withPath(causeText(f), f.path), f);
    switch (f.kind) {
    case F::None:
    case F::Cancelled:
        return {};
    case F::NoOutputFolder:
        return {QStringLiteral("路径不存在"), QStringLiteral("压缩包生成路径不存在"),
                f.path.isEmpty()
                    ? QStringLiteral("未填写生成升级包位置")
                    : withHint(QStringLiteral("不是已有的文件夹：") + quotedPath(f.path), f)};
    case F::EmptyPackageName:
        return {QStringLiteral("文件名错误"), QStringLiteral("生成压缩包文件名为空"), QString()};
    case F::PackageNameInvalid:
        return nameMessage(f);
    case F::ArchiveIsFolder:
        return {QStringLiteral("文件名错误"), QStringLiteral("生成升级包位置中已有同名的文件夹"),
                QStringLiteral("文件夹：") + quotedPath(f.path)};
    case F::ArchiveExists:
        return {QStringLiteral("升级包已存在"), quotedPath(f.path),
                f.reason == F::ArchiveAppeared ? causeText(f)
                                               : QStringLiteral("用 --force 替换它")};
    case F::TypeRepeated:
        return {QStringLiteral("类型重复"),
                QStringLiteral("一个升级包内同一类型升级项仅可存在一个"),
                f.path.isEmpty()
                    ? QStringLiteral("重复的类型：") + f.subject
                    // Only the command line meets this: the window asks instead.
                    : QStringLiteral("组合包 %1 中已有%2（%3）；用 --replace 以 --item 的文件替换它")
                          .arg(QFileInfo(f.path).fileName(), f.subject, f.detail)};
    case F::ItemMissing:
        return {QStringLiteral("文件不存在"),
                QStringLiteral("%1文件不存在，请检查对应路径").arg(f.subject),
                f.path.isEmpty() ? QStringLiteral("未填写文件路径")
                                 : withHint(QStringLiteral("找不到：") + quotedPath(f.path), f)};
    case F::ItemUnreadable:
        return {QStringLiteral("文件无法读取"),
                QStringLiteral("%1文件无法读取，请检查权限").arg(f.subject),
                QStringLiteral("没有读取权限：") + quotedPath(f.path)};
    case F::ItemIsArchive:
        return {QStringLiteral("路径冲突"),
                QStringLiteral("%1文件不能与生成的升级包相同").arg(f.subject), quotedPath(f.path)};
    case F::FileNameRepeated:
        return {QStringLiteral("文件名重复"),
                QStringLiteral("升级包内存在同名文件%1，请重命名后重试").arg(f.subject), cause};
    case F::FileNameUnportable:
        return {QStringLiteral("文件名错误"),
                QStringLiteral("升级项的文件名%1在Windows或U盘上不能使用（%2）")
                    .arg(f.subject, nameProblemText(f)),
                quotedPath(f.path)};
    case F::PackageRefused:
        return {QStringLiteral("解压失败"), QStringLiteral("HMI和控制器升级包解压失败!"), cause};
    case F::WriteFailed:
        return {QStringLiteral("打包失败"), QStringLiteral("文件压缩失败!"), cause};
    }
    return {};
}

// The failure with its names and texts safe to print: what they hold that
// acts on a terminal or cannot be seen is escaped, while the lines of the
// message itself stay lines. Paths are escaped where they are shown, after
// they were looked at (quotedPath()); the character a package name may not
// hold is named by its code point.
PackageFailure printable(PackageFailure f)
{
    f.subject = escapedText(f.subject);
    f.key = escapedText(f.key);
    f.specifics = escapedText(f.specifics);
    if (!(f.kind == PackageFailure::PackageNameInvalid
          && f.nameProblem == NameProblem::ControlCharacter))
        f.detail = escapedText(f.detail);
    return f;
}

} // namespace

PackageMessage packageMessage(const PackageFailure &failure)
{
    return messageFor(printable(failure));
}

QString problemText(const PackageFailure &failure)
{
    const PackageFailure f = printable(failure);
    const QString hint = notFoundHint(f);
    return hint.isEmpty() ? causeText(f) : causeText(f) + QStringLiteral("；") + hint;
}

QString problemCode(const PackageFailure &f)
{
    using F = PackageFailure;
    switch (f.kind) {
    case F::Cancelled:
        return QStringLiteral("cancelled");
    case F::PackageRefused:
    case F::WriteFailed:
        break;
    default:
        return QStringLiteral("request-refused");
    }
    static const char *const codes[] = {
        "", // NoReason
        "not-found",
        "not-regular-file",
        "no-read-permission",
        "no-write-permission",
        "disk-full",
        "file-too-large",
        "archive-in-use",
        "archive-appeared",
        "modified-while-packing",
        "read-error",
        "write-error",
        "not-zip",
        "too-many-entries",
        "directory-too-large",
        "data-before-entries",
        "data-between-entries",
        "data-after-end",
        "comment-holds-end-record",
        "zip64-mismatch",
        "entries-overlap",
        "entry-past-end",
        "local-header-mismatch",
        "data-descriptor-mismatch",
        "extra-field-invalid",
        "unicode-path-mismatch",
        "entry-too-large",
        "entry-corrupt",
        "unsupported-method",
        "encrypted-entry",
        "link-entry",
        "unsafe-entry-name",
        "unportable-entry-name",
        "entry-name-repeated",
        "manifest-missing",
        "manifest-in-folder",
        "manifest-too-large",
        "manifest-not-object",
        "member-invalid",
        "key-imitates-type",
        "named-entry-missing",
        "named-entry-not-file",
        "package-changed",
        "entry-left-out",
    };
    static_assert(sizeof(codes) / sizeof(codes[0]) == F::EntryLeftOut + 1,
                  "one code for every reason");
    return QString::fromLatin1(codes[f.reason]);
}

QString problemEntry(const PackageFailure &f)
{
    using F = PackageFailure;
    switch (f.reason) {
    case F::DataBetweenEntries:
    case F::EntriesOverlap:
    case F::EntryPastEnd:
    case F::LocalHeaderMismatch:
    case F::DataDescriptorMismatch:
    case F::ExtraFieldInvalid:
    case F::UnicodePathMismatch:
    case F::EntryTooLarge:
    case F::EntryCorrupt:
    case F::UnsupportedMethod:
    case F::EncryptedEntry:
    case F::LinkEntry:
    case F::UnsafeEntryName:
    case F::UnportableEntryName:
    case F::EntryNameRepeated:
    case F::NamedEntryMissing:
    case F::NamedEntryNotFile:
    case F::EntryLeftOut:
        return f.detail;
    case F::ManifestInFolder:
        return f.detail + QStringLiteral("upgrade_package_config.json");
    case F::ManifestTooLarge:
    case F::ManifestNotObject:
    case F::MemberInvalid:
    case F::KeyImitatesType:
        return QStringLiteral("upgrade_package_config.json");
    default:
        return QString();
    }
}

bool isInputFailure(const PackageFailure &f)
{
    using F = PackageFailure;
    if (f.kind != F::WriteFailed)
        return f.kind != F::None && f.kind != F::Cancelled;
    switch (f.reason) {
    case F::NoWritePermission:
    case F::DiskFull:
    case F::FileTooLarge:
    case F::ArchiveInUse:
    case F::WriteError:
    case F::NoReason:
        return false;
    default:
        return true;
    }
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

PackageFailure::Reason reasonForReadError(const FileError &error)
{
    switch (error.kind) {
    case FileError::NotFound:
        return PackageFailure::NotFound;
    case FileError::NotRegularFile:
        return PackageFailure::NotRegularFile;
    case FileError::NoPermission:
        return PackageFailure::NoReadPermission;
    default:
        return PackageFailure::ReadError;
    }
}

PackageFailure::Reason reasonForWriteError(const FileError &error)
{
    switch (error.kind) {
    case FileError::DiskFull:
        return PackageFailure::DiskFull;
    case FileError::FileTooLarge:
        return PackageFailure::FileTooLarge;
    case FileError::NoPermission:
        return PackageFailure::NoWritePermission;
    case FileError::InUse:
        return PackageFailure::ArchiveInUse;
    default:
        return PackageFailure::WriteError;
    }
}
