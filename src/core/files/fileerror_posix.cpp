#include "fileerror.h"

#include <cerrno>
#include <cstring>

FileError FileError::last()
{
    return fromCode(errno);
}

FileError FileError::fromCode(int code)
{
    FileError e;
    e.code = code;
    e.words = QString::fromLocal8Bit(std::strerror(code));
    switch (code) {
    case 0:
        e.kind = Other;
        break;
    case ENOENT:
    case ENOTDIR:
        e.kind = NotFound;
        break;
    case EACCES:
    case EPERM:
    case EROFS:
        e.kind = NoPermission;
        break;
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
        e.kind = DiskFull;
        break;
    case EFBIG:
        e.kind = FileTooLarge;
        break;
    case EEXIST:
        e.kind = Exists;
        break;
    case ETXTBSY:
    case EBUSY:
        e.kind = InUse;
        break;
    default:
        e.kind = Other;
    }
    return e;
}
