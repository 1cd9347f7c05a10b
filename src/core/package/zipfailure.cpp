#include "zipfailure.h"

#include "portablename.h"

namespace {

using F = PackageFailure;
using P = ZipProblem;

QString notZipWords(const ZipProblem &p)
{
    switch (p.what) {
    case P::NoEndRecord:
        return QStringLiteral("没有结束记录");
    case P::SplitArchive:
        return QStringLiteral("分卷压缩包");
    case P::DirectoryMisplaced:
        return QStringLiteral("中央目录的位置与结束记录不符");
    case P::EntryCountWrong:
        return QStringLiteral("中央目录的条目数与结束记录不符");
    case P::DirectoryIncomplete:
        return QStringLiteral("中央目录不完整");
    case P::DirectorySizeWrong:
        return QStringLiteral("中央目录的大小与条目不符");
    case P::Zip64FieldMissing:
        return QStringLiteral("%1缺少ZIP64扩展字段").arg(p.entry);
    default:
        return QStringLiteral("文件不完整");
    }
}

// What exactly is wrong, in the words the cause of a refusal gives it.
QString specificWords(const ZipProblem &p)
{
    switch (p.what) {
    case P::NoLocalHeader:
        return QStringLiteral("没有本地文件头");
    case P::NameField:
        return QStringLiteral("名称");
    case P::FlagsField:
        return QStringLiteral("标志");
    case P::MethodField:
        return QStringLiteral("压缩方式");
    case P::CrcField:
        return QStringLiteral("CRC-32");
    case P::SizesField:
        return QStringLiteral("大小");
    case P::CentralHeader:
        return QStringLiteral("中央目录");
    case P::LocalHeader:
        return QStringLiteral("本地文件头");
    case P::DataInvalid:
        return QStringLiteral("压缩数据无效");
    case P::BytesAfterStreamEnd:
        return QStringLiteral("压缩数据结束后还有多余字节");
    case P::LongerThanDeclared:
        return QStringLiteral("解压后比声明的大小长");
    case P::ShorterThanDeclared:
        return QStringLiteral("解压后比声明的大小短");
    case P::StreamNotEnded:
        return QStringLiteral("压缩数据在声明的长度处没有结束");
    case P::CrcMismatch:
        return QStringLiteral("CRC校验失败");
    case P::StoredSizeWrong:
        return QStringLiteral("存储的大小与声明的不符");
    default:
        return QString();
    }
}

// A compression method by its name; one without a name by its number.
QString methodWords(const QString &method)
{
    bool number = false;
    method.toUInt(&number);
    return number ? QStringLiteral("方式%1").arg(method) : method;
}

F::Reason reasonFor(P::Code code)
{
    switch (code) {
    case P::ReadError:
        return F::ReadError;
    case P::SourceChanged:
        return F::PackageChanged;
    case P::TooManyEntries:
        return F::TooManyEntries;
    case P::DirectoryTooLarge:
        return F::DirectoryTooLarge;
    case P::DataBeforeEntries:
        return F::DataBeforeEntries;
    case P::DataBetweenEntries:
        return F::DataBetweenEntries;
    case P::DataAfterEnd:
        return F::DataAfterEnd;
    case P::CommentHoldsEndRecord:
        return F::CommentHoldsEndRecord;
    case P::Zip64Mismatch:
        return F::Zip64Mismatch;
    case P::EntriesOverlap:
        return F::EntriesOverlap;
    case P::EntryPastEnd:
        return F::EntryPastEnd;
    case P::LocalHeaderMismatch:
        return F::LocalHeaderMismatch;
    case P::DataDescriptorMismatch:
        return F::DataDescriptorMismatch;
    case P::ExtraFieldInvalid:
        return F::ExtraFieldInvalid;
    case P::UnicodePathMismatch:
        return F::UnicodePathMismatch;
    case P::EntryTooLarge:
        return F::EntryTooLarge;
    case P::NameTooLong:
    case P::NameNotUtf8:
        return F::UnportableEntryName;
    case P::EntryCorrupt:
        return F::EntryCorrupt;
    case P::UnsupportedMethod:
        return F::UnsupportedMethod;
    case P::EncryptedEntry:
        return F::EncryptedEntry;
    default:
        return F::NotZip;
    }
}

} // namespace

PackageFailure refusalFor(const ZipProblem &p, const QString &path)
{
    switch (p.code) {
    case P::None:
        return PackageFailure();
    case P::Cancelled:
        return cancelledRun();
    case P::NotZip:
        return packageRefusal(F::NotZip, path, notZipWords(p));
    case P::ReadError:
    case P::TooManyEntries:
    case P::DataBeforeEntries:
        return packageRefusal(reasonFor(p.code), path, p.detail);
    default:
        break;
    }
    PackageFailure f = packageRefusal(reasonFor(p.code), path, p.entry);
    if (p.code == P::UnicodePathMismatch)
        f.specifics = p.detail;
    else if (p.code == P::UnsupportedMethod)
        f.specifics = methodWords(p.detail);
    else
        f.specifics = specificWords(p);
    if (p.code == P::NameTooLong)
        f.nameProblem = NameProblem::TooLong;
    else if (p.code == P::NameNotUtf8)
        f.nameProblem = NameProblem::InvalidText;
    return f;
}
