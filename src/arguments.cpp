#include "arguments.h"

Arguments::Arguments(const QStringList &arguments)
{
    const QString first = arguments.value(1);
    if (first == QLatin1String("-h") || first == QLatin1String("--help")) {
        request = Help;
        return;
    }
    if (first == QLatin1String("--version")) {
        request = Version;
        return;
    }
    if (arguments.size() >= 2)
        frequency = arguments.at(1).toInt(nullptr, 10);
    if (arguments.size() >= 3)
        volume = arguments.at(2).toDouble();
}

QString Arguments::usage()
{
    return QStringLiteral(
            "Usage: steadytone [FREQUENCY [VOLUME]]\n"
            "       steadytone -h | --help | --version\n"
            "\n"
            "Keeps the default audio output awake with a continuous, nearly inaudible\n"
            "sine tone, and follows that output as it changes, until it is stopped.\n"
            "\n"
            "  FREQUENCY  the tone's frequency in hertz, a whole number below 22050\n"
            "             (default 20)\n"
            "  VOLUME     its volume, from 0 to 1 (default 0.02)\n"
            "\n"
            "A value that is missing, zero or out of range gives the default.\n"
            "The manual page steadytone(1) tells more.\n");
}
