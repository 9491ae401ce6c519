#ifndef ARGUMENTS_H
#define ARGUMENTS_H

#include <QStringList>

// The command line: steadytone [--all | --device NAME...] [FREQUENCY [VOLUME]],
// or an option that only informs (--list, -h or --help, --version). Options
// come first and are matched exactly; the first argument that is not one
// starts the values. A value that is missing or does not convert is 0, which
// AudioOut replaces with its default; arguments after the second value are
// ignored.
struct Arguments
{
    enum Request { Play, List, Help, Version, Wrong };

    explicit Arguments(const QStringList &arguments);

    static QString usage();

    Request request = Play;
    // Every output, or the named ones; neither for the default output.
    bool all = false;
    QStringList devices;
    int frequency = 0;
    double volume = 0.0;
    // Why the command line is wrong.
    QString error;
};

#endif // ARGUMENTS_H
