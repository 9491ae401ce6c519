#ifndef WORDS_H
#define WORDS_H

#include <QString>

// What every line that names something a user typed shares.
namespace Words {

// A name or value as the user gave it, in double quotes.
inline QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

} // namespace Words

#endif // WORDS_H
