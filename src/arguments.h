#ifndef ARGUMENTS_H
#define ARGUMENTS_H

#include <QStringList>

// The command line: steadytone [FREQUENCY [VOLUME]], or an option that only
// informs (-h or --help, --version), matched exactly, as the first argument.
// A value that is missing or does not convert is 0, which AudioOut replaces
// with its default; arguments after the second value are ignored.
struct Arguments
{
    enum Request { Play, Help, Version };

    explicit Arguments(const QStringList &arguments);

    static QString usage();

    Request request = Play;
    int frequency = 0;
    double volume = 0.0;
};

#endif // ARGUMENTS_H
