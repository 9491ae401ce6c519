#ifndef QTMESSAGES_H
#define QTMESSAGES_H

#include <QByteArray>
#include <QString>

// Qt's audio backend reports stream errors in the same category and quoting
// as the program's specified lines. Run under this message pattern, the
// program tags every line it writes with its category and type, so that the
// tests tell the specified lines (the default category's debug lines) from
// the program's own account of what it does (its category, "steadytone") and
// from Qt's messages.
namespace QtMessages {

constexpr const char *Pattern = "%{category}|%{type}|%{message}";

struct Line
{
    QString category;
    QString type;
    QString text;

    bool isSpecified() const { return category == "default" && type == "debug"; }
    bool isProgram() const { return category == "steadytone"; }
};

inline Line parse(const QString &written)
{
    const int category = written.indexOf('|');
    const int type = written.indexOf('|', category + 1);
    if (category < 0 || type < 0)
        return { QString(), QString(), written };
    return { written.left(category), written.mid(category + 1, type - category - 1),
             written.mid(type + 1) };
}

} // namespace QtMessages

#endif // QTMESSAGES_H
