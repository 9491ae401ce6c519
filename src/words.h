#ifndef WORDS_H
#define WORDS_H

#include <QString>

// What every line that names something shares: names come from the sound
// server (a Bluetooth peer's own name, a network sink's announcement, a
// driver's string) and from the command line, and none of them is trusted.
namespace Words {

// A longer text is no use in a line or the status, and is shortened there.
constexpr int MaxShownChars = 256;

// A text as lines, the status and --list show it: its control characters,
// which could end a line or a service manager's assignment or start a
// terminal's escape, written out visibly (\n, \t, \e, \u0085); and, unless
// kept whole, shortened past MaxShownChars with a mark.
inline QString shown(const QString &text, bool whole = false)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '\n':
            out += QLatin1String("\\n");
            continue;
        case '\t':
            out += QLatin1String("\\t");
            continue;
        case '\r':
            out += QLatin1String("\\r");
            continue;
        case 0x1b:
            out += QLatin1String("\\e");
            continue;
        }
        if (c.category() == QChar::Other_Control || c.category() == QChar::Separator_Line
            || c.category() == QChar::Separator_Paragraph)
            out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        else
            out += c;
    }
    if (whole || out.size() <= MaxShownChars)
        return out;
    int cut = MaxShownChars - 1;
    if (out.at(cut - 1).isHighSurrogate())
        --cut;
    return out.left(cut) + QChar(0x2026);
}

// A name or value as it was given, shown, in double quotes.
inline QString quoted(const QString &text)
{
    return QLatin1Char('"') + shown(text) + QLatin1Char('"');
}

} // namespace Words

#endif // WORDS_H
