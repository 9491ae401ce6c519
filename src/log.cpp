#include "log.h"

#include <QByteArrayList>

#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstdio>

// Its debug lines, for those who look into how it plays, only when asked
// for (QT_LOGGING_RULES="steadytone.debug=true").
Q_LOGGING_CATEGORY(lcTone, "steadytone", QtInfoMsg)

namespace {

// JOURNAL_STREAM names the device and inode of the stream systemd connected
// to the journal; standard error may have been redirected since.
bool stderrIsJournal()
{
    const QByteArrayList stream = qgetenv("JOURNAL_STREAM").split(':');
    struct stat info
    { };
    return stream.size() == 2 && fstat(STDERR_FILENO, &info) == 0
            && stream.at(0) == QByteArray::number(quint64(info.st_dev))
            && stream.at(1) == QByteArray::number(quint64(info.st_ino));
}

const char *priority(QtMsgType type, const char *category)
{
    switch (type) {
    case QtDebugMsg:
        return SD_DEBUG;
    case QtInfoMsg:
        // What the program says of what it does is worth a notice.
        return qstrcmp(category, lcTone().categoryName()) == 0 ? SD_NOTICE : SD_INFO;
    case QtWarningMsg:
        return SD_WARNING;
    case QtCriticalMsg:
        return SD_ERR;
    case QtFatalMsg:
        return SD_CRIT;
    }
    return SD_NOTICE;
}

void toJournal(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QByteArray text = qFormatLogMessage(type, context, message).toLocal8Bit();
    for (const QByteArray &line : text.split('\n'))
        std::fprintf(stderr, "%s%s\n", priority(type, context.category), line.constData());
    if (type == QtFatalMsg)
        std::abort();
}

} // namespace

void Log::install()
{
    if (stderrIsJournal())
        qInstallMessageHandler(toJournal);
}
