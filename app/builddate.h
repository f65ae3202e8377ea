#pragma once
// Turns the compiler's build date ("May  4 2016") into the ISO form that the
// version label shows ("2016-05-04").

#include <QString>

namespace BuildDate {

// The date this binary was compiled on, as the compiler spells it. Follows
// SOURCE_DATE_EPOCH, so reproducible builds show a fixed date.
const char* compiled();

// "Mmm dd yyyy" to "yyyy-MM-dd". A month word that names none of the twelve
// months gives the date text back unchanged, so the label still shows when
// the binary was built instead of a made-up date.
QString toIso(const char* date);

} // namespace BuildDate
