#include "dostime.h"

#include "system.h"

#include <ctime>

DosTime DosTime::fromUnix(qint64 seconds)
{
    struct tm local
    {
    };
    DosTime dos;
    if (!localTimeOf(seconds, &local) || local.tm_year < 80)
        return dos;
    if (local.tm_year > 207)
        return {quint16(23 << 11 | 59 << 5 | 29), quint16(127 << 9 | 12 << 5 | 31)};
    dos.time = quint16(local.tm_hour << 11 | local.tm_min << 5 | local.tm_sec / 2);
    dos.date = quint16((local.tm_year - 80) << 9 | (local.tm_mon + 1) << 5 | local.tm_mday);
    return dos;
}
