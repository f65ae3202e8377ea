#include "builddate.h"

#include <cstdio>
#include <cstring>

namespace BuildDate {

QString toIso(const char* date)
{
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char monthWord[16] = {};
    int day = 0;
    int year = 0;
    if (std::sscanf(date, "%15s %d %d", monthWord, &day, &year) != 3)
        return QString::fromLatin1(date);
    int month = 0;
    for (int i = 0; i < 12; ++i) {
        if (std::strncmp(monthWord, months[i], 3) == 0) {
            month = i + 1;
            break;
        }
    }
    if (month == 0)
        return QString::fromLatin1(date);
    char iso[32];
    std::snprintf(iso, sizeof iso, "%04d-%02d-%02d", year, month, day);
    return QString::fromLatin1(iso);
}

} // namespace BuildDate
