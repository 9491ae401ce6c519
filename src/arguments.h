#ifndef ARGUMENTS_H
#define ARGUMENTS_H

#include <QStringList>

// The tone the command line asks for: steadytone [FREQUENCY [VOLUME]]. A value
// that is missing or does not convert is 0, which AudioOut replaces with its
// default; arguments after the second are ignored.
struct Arguments
{
    explicit Arguments(const QStringList &arguments);

    int frequency = 0;
    double volume = 0.0;
};

#endif // ARGUMENTS_H
