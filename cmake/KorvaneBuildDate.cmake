# Script mode (cmake -DOUT=<file> -P KorvaneBuildDate.cmake), run on every
# build: writes the day of this build, spelled as the compiler spells its
# build date ("May  4 2016"), into a one-function source file. The file is
# rewritten only when the day changed, so an incremental build on the same
# day recompiles nothing, and one on a later day recompiles this file alone.
#
# SOURCE_DATE_EPOCH, when set, fixes the day (in UTC, as the compiler reads
# it), so a package built twice from the same commit is the same.
if(NOT OUT)
    message(FATAL_ERROR "KorvaneBuildDate.cmake: OUT=<file> is required")
endif()

if(DEFINED ENV{SOURCE_DATE_EPOCH})
    string(TIMESTAMP stamp "%Y %m %d" UTC)
else()
    string(TIMESTAMP stamp "%Y %m %d")
endif()
string(REPLACE " " ";" stamp "${stamp}")
list(GET stamp 0 year)
list(GET stamp 1 month)
list(GET stamp 2 day)

# Month words spelled here rather than by strftime(%b), which would follow
# the build machine's locale.
set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
math(EXPR monthIndex "${month} - 1")
list(GET months ${monthIndex} monthWord)
math(EXPR day "${day}")
if(day LESS 10)
    set(day " ${day}")
endif()

set(text "// Written by cmake/KorvaneBuildDate.cmake on every build.
#include \"builddate.h\"

const char* BuildDate::compiled()
{
    return \"${monthWord} ${day} ${year}\";
}
")
set(old "")
if(EXISTS "${OUT}")
    file(READ "${OUT}" old)
endif()
if(NOT old STREQUAL text)
    file(WRITE "${OUT}" "${text}")
endif()
