#ifndef QTMESSAGES_H
#define QTMESSAGES_H

// Qt's audio backend reports stream errors in the same category and quoting
// as the program's own log lines. Run under this message pattern, the program
// writes its own lines as they are and marks every message of Qt's.
namespace QtMessages {

constexpr const char *Pattern = "%{if-info}[qt] %{endif}%{if-warning}[qt] %{endif}"
                                "%{if-critical}[qt] %{endif}%{if-fatal}[qt] %{endif}%{message}";
constexpr const char *Mark = "[qt] ";

} // namespace QtMessages

#endif // QTMESSAGES_H
