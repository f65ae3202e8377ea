#pragma once
// The day this binary was built, in the compiler's spelling ("May  4 2016"),
// and its ISO form for the version label ("2016-05-04").

#include <QString>

namespace BuildDate {

// The day this binary was built, as the compiler spells its build date.
// Defined in a source file that the build writes each time it runs
// (cmake/KorvaneBuildDate.cmake), so an incremental build on a later day
// still shows its own day. Follows SOURCE_DATE_EPOCH, so reproducible
// builds show a fixed date.
const char* compiled();

// "Mmm dd yyyy" to "yyyy-MM-dd". A month word that names none of the twelve
// months gives the date text back unchanged, so the label still shows when
// the binary was built instead of a made-up date.
QString toIso(const char* date);

} // namespace BuildDate
