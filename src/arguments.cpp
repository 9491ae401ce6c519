#include "arguments.h"

#include "words.h"

#include <QRegularExpression>

using Words::quoted;

namespace {

bool isNumber(const QString &argument)
{
    bool ok = false;
    argument.toDouble(&ok);
    return ok;
}

} // namespace

Arguments::Arguments(const QStringList &arguments)
{
    QStringList given;
    bool optionsEnded = false;
    for (int next = 1; next < arguments.size() && request == Play; ++next) {
        const QString &argument = arguments.at(next);
        if (optionsEnded || !argument.startsWith(QLatin1Char('-')) || isNumber(argument))
            given << argument;
        else if (argument == QLatin1String("--"))
            optionsEnded = true;
        else
            option(argument, arguments, &next);
    }
    if (request == Play)
        values(given);
}

void Arguments::option(const QString &argument, const QStringList &arguments, int *next)
{
    if (argument == QLatin1String("-h") || argument == QLatin1String("--help")) {
        request = Help;
    } else if (argument == QLatin1String("--version")) {
        request = Version;
    } else if (argument == QLatin1String("--list")) {
        request = List;
    } else if (argument == QLatin1String("--all")) {
        mode(Tone::Outputs::All);
    } else if (argument == QLatin1String("--pause-when-idle")) {
        pauseWhenIdle = true;
    } else if (argument == QLatin1String("--device")
               || argument.startsWith(QLatin1String("--device="))) {
        // What follows is a name, whatever it looks like.
        const bool joined = argument.contains(QLatin1Char('='));
        const QString name =
                joined ? argument.section(QLatin1Char('='), 1) : arguments.value(++*next);
        if (name.isEmpty()) {
            request = Wrong;
            error = QStringLiteral("--device needs the name of an output device");
            return;
        }
        mode(Tone::Outputs::Named);
        if (!outputs.names.contains(name))
            outputs.names << name;
    } else {
        request = Wrong;
        error = QStringLiteral("unknown option %1").arg(quoted(argument));
    }
}

void Arguments::mode(Tone::Outputs::Mode chosen)
{
    if (outputs.mode != Tone::Outputs::Default && outputs.mode != chosen) {
        request = Wrong;
        error = QStringLiteral("--all and --device do not go together");
    }
    outputs.mode = chosen;
}

void Arguments::values(const QStringList &given)
{
    int frequency = 0;
    double volume = 0.0;
    const QString playing = QStringLiteral("; playing %1 Hz").arg(Tone::DefaultFrequency);
    if (!given.isEmpty()) {
        bool ok = false;
        frequency = given.at(0).toInt(&ok, 10);
        const bool whole = QRegularExpression(QStringLiteral("^\\s*[+-]?\\d+\\s*$"))
                                   .match(given.at(0))
                                   .hasMatch();
        if (!whole)
            notes << QStringLiteral("The frequency %1 is not a whole number")
                                    .arg(quoted(given.at(0)))
                            + playing;
        else if (!ok || (frequency != 0 && !Tone::isPlayableFrequency(frequency)))
            notes << QStringLiteral("The frequency %1 Hz is outside -%2 to %2 Hz")
                                    .arg(given.at(0).trimmed())
                                    .arg(Tone::MaxFrequency)
                            + playing;
    }
    const QString atDefault = QStringLiteral("; playing at %1").arg(Tone::DefaultVolume);
    if (given.size() > 1) {
        bool ok = false;
        volume = given.at(1).toDouble(&ok);
        if (!ok)
            notes << QStringLiteral("The volume %1 is not a number").arg(quoted(given.at(1)))
                            + atDefault;
        else if (volume > 0.0 && volume < Tone::MinVolume)
            notes << QStringLiteral("The volume %1 is too low to make any sound").arg(given.at(1))
                            + atDefault;
        else if (volume != 0.0 && !Tone::isPlayableVolume(volume))
            notes << QStringLiteral("The volume %1 is outside 0 to %2")
                                    .arg(given.at(1))
                                    .arg(Tone::MaxVolume)
                            + atDefault;
    }
    for (const QString &ignored : given.mid(2))
        notes << QStringLiteral("Only a frequency and a volume are taken: %1 is ignored")
                         .arg(quoted(ignored));
    tone = Tone::Settings(frequency, volume);
}

QString Arguments::usage()
{
    return QStringLiteral(
                   "Usage: steadytone [--all | --device NAME...] [--pause-when-idle] [--] "
                   "[FREQUENCY [VOLUME]]\n"
                   "       steadytone --list | -h | --help | --version\n"
                   "\n"
                   "Keeps audio outputs awake with a continuous, nearly inaudible sine tone,\n"
                   "until it is stopped: the default output, which it follows as it changes,\n"
                   "or every output, or the ones named.\n"
                   "\n"
                   "  FREQUENCY          the tone's frequency in hertz, a whole number between\n"
                   "                     -%1 and %1 (default %2)\n"
                   "  VOLUME             its volume, at most %3, full scale (default %4)\n"
                   "  --all              play on every output device, except the dummy one a\n"
                   "                     sound server offers when it has no other\n"
                   "  --device NAME      play on this output device, and wait for it while it\n"
                   "                     is absent; may be given more than once\n"
                   "  --pause-when-idle  stop the tone while your desktop session is locked or\n"
                   "                     idle, so that the devices may sleep\n"
                   "  --list             list the output devices, with the names --device takes\n"
                   "  -h, --help         show this help\n"
                   "  --version          show the version\n"
                   "  --                 what follows are values, even if they start with '-'\n"
                   "\n"
                   "A value that is missing or zero gives the default; so does one that is not\n"
                   "a number, or out of range, and the program says so.\n"
                   "The manual page steadytone(1) tells more.\n")
            .arg(Tone::MaxFrequency)
            .arg(Tone::DefaultFrequency)
            .arg(Tone::MaxVolume)
            .arg(Tone::DefaultVolume);
}
