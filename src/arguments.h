#ifndef ARGUMENTS_H
#define ARGUMENTS_H

#include "tone.h"

#include <QStringList>

// The command line:
//   steadytone [--all | --device NAME...] [--pause-when-idle] [--] [FREQUENCY [VOLUME]]
// or an option that only informs (--list, -h or --help, --version). An
// argument that starts with '-' and is not a number is an option, until
// "--"; one that is not known makes the command line wrong. The rest are
// values: a value that is missing or zero gives the default, and one that is
// not a number, or one the tone cannot have, gives the default with a note
// that says so. Values after the second are ignored.
struct Arguments
{
    enum Request { Play, List, Help, Version, Wrong };

    explicit Arguments(const QStringList &arguments);

    static QString usage();

    Request request = Play;
    Tone::Outputs outputs;
    Tone::Settings tone;
    // Stop the tone while the user's session is locked or idle.
    bool pauseWhenIdle = false;
    // What was taken instead of a value that was asked for, a line each.
    QStringList notes;
    // Why the command line is wrong.
    QString error;

private:
    void option(const QString &argument, const QStringList &arguments, int *next);
    void mode(Tone::Outputs::Mode chosen);
    void values(const QStringList &given);
};

#endif // ARGUMENTS_H
