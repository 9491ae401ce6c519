#ifndef REPORT_H
#define REPORT_H

#include "recovery.h"

#include <QString>

// What a player did about its output, for the words: the narrator tells of
// it, and nothing decides by it.
struct Report
{
    enum Deed { Nothing, Moved, Rebuilt, PutBack, Released };

    Deed deed = Nothing;
    // What was wrong with the output; Healthy for a rebuild on purpose.
    Recovery::Cause cause = Recovery::Healthy;
    // The device it played on before, and the one it plays on now.
    QString from;
    QString device;
    // The new output failed as it started.
    bool failed = false;
};

#endif // REPORT_H
