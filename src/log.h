#ifndef LOG_H
#define LOG_H

#include <QLoggingCategory>

// The program's own account of what it does beyond the settings and device
// lines: recovery, waiting, restarts.
Q_DECLARE_LOGGING_CATEGORY(lcTone)

#endif // LOG_H
