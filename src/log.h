#ifndef LOG_H
#define LOG_H

#include <QLoggingCategory>

// The program's own account of what it does beyond the settings and device
// lines: what it plays where, recovery, waiting, restarts. Its info lines
// are notices in the journal; its warnings mean the tone does not play, or
// will not for a while.
Q_DECLARE_LOGGING_CATEGORY(lcTone)

namespace Log {

// When standard error is the journal, every line carries its syslog priority,
// so that `journalctl -p warning` finds warnings; elsewhere Qt's own handling
// stays as it is.
void install();

} // namespace Log

#endif // LOG_H
