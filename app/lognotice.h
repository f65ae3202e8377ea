#pragma once
// What the user is told about the traffic log: the status bar's log field,
// and the lines for the traffic view and standard error when this run has
// no log, kept the previous one, or cannot write rows.

#include "display.h"
#include "linkfailure.h"

#include <QString>

class LogNotice
{
public:
    // An empty status shows nothing in the view; an empty console prints nothing.
    using Said = LinkFailure::Said;
    // The status bar's log field, as things stand.
    static QString field(const LogStatus& log);
    // Said once at start.
    static Said atStart(const LogStatus& log);
    // Said when writes start failing or work again.
    static Said writeChanged(const LogStatus& log);

private:
    static QString writeReason(const LogStatus& log, bool english);
};
