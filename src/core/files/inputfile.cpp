#include "inputfile.h"

qint64 FileStamp::modifiedSeconds() const
{
    // Rounded towards the past, also before 1970.
    return modifiedNs >= 0 ? modifiedNs / 1000000000 : -((-modifiedNs + 999999999) / 1000000000);
}

bool FileStamp::operator==(const FileStamp &other) const
{
    return device == other.device && index == other.index && size == other.size
        && modifiedNs == other.modifiedNs && changedNs == other.changedNs;
}
