#include "arguments.h"

Arguments::Arguments(const QStringList &arguments)
{
    int next = 1;
    for (; next < arguments.size(); ++next) {
        const QString &option = arguments.at(next);
        if (option == QLatin1String("-h") || option == QLatin1String("--help")) {
            request = Help;
            return;
        }
        if (option == QLatin1String("--version")) {
            request = Version;
            return;
        }
        if (option == QLatin1String("--list")) {
            request = List;
            return;
        }
        if (option == QLatin1String("--all")) {
            all = true;
        } else if (option == QLatin1String("--device")) {
            // What follows is a name, whatever it looks like; without one,
            // the option cannot be read as a value either.
            if (++next == arguments.size()) {
                error = QStringLiteral("--device needs the name of an output device");
                break;
            }
            devices.append(arguments.at(next));
        } else {
            break;
        }
    }
    if (error.isEmpty() && all && !devices.isEmpty())
        error = QStringLiteral("--all and --device do not go together");
    if (!error.isEmpty()) {
        request = Wrong;
        return;
    }
    if (next < arguments.size())
        frequency = arguments.at(next).toInt(nullptr, 10);
    if (next + 1 < arguments.size())
        volume = arguments.at(next + 1).toDouble();
}

QString Arguments::usage()
{
    return QStringLiteral(
            "Usage: steadytone [--all | --device NAME...] [FREQUENCY [VOLUME]]\n"
            "       steadytone --list | -h | --help | --version\n"
            "\n"
            "Keeps audio outputs awake with a continuous, nearly inaudible sine tone,\n"
            "until it is stopped: the default output, which it follows as it changes,\n"
            "or every output, or the ones named.\n"
            "\n"
            "  FREQUENCY      the tone's frequency in hertz, a whole number below 22050\n"
            "                 (default 20)\n"
            "  VOLUME         its volume, from 0 to 1 (default 0.02)\n"
            "  --all          play on every output device, except the dummy one a\n"
            "                 sound server offers when it has no other\n"
            "  --device NAME  play on this output device, and wait for it while it is\n"
            "                 absent; may be given more than once\n"
            "  --list         list the output devices, with the names --device takes\n"
            "  -h, --help     show this help\n"
            "  --version      show the version\n"
            "\n"
            "A value that is missing, zero or out of range gives the default.\n"
            "The manual page steadytone(1) tells more.\n");
}
