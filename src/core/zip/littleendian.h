#ifndef LITTLEENDIAN_H
#define LITTLEENDIAN_H

#include <QtGlobal>

// Numbers as ZIP records store them: little-endian, at any alignment.
inline quint16 le16(const char *p)
{
    return quint16(quint8(p[0]) | quint8(p[1]) << 8);
}
inline quint32 le32(const char *p)
{
    return quint32(le16(p)) | quint32(le16(p + 2)) << 16;
}
inline quint64 le64(const char *p)
{
    return quint64(le32(p)) | quint64(le32(p + 4)) << 32;
}

#endif // LITTLEENDIAN_H
