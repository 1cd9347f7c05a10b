#ifndef DOSTIME_H
#define DOSTIME_H

#include <QtGlobal>

// An entry's date and time as a ZIP header holds them: local time, two
// seconds apart, from 1980 to 2107.
struct DosTime
{
    quint16 time = 0;
    quint16 date = (1 << 5) | 1; // 1980-01-01

    // A moment in the system's time zone; before 1980 the earliest time
    // there is (not 1980 with the moment's month), after 2107 the latest.
    static DosTime fromUnix(qint64 seconds);
};

#endif // DOSTIME_H
