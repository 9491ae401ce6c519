#include "player.h"

#include <QtTest>

Player::Player(const QProcessEnvironment &environment, const QStringList &arguments,
               QObject *parent)
    : ChildProcess(parent)
{
    // Qt's audio backend reports stream errors as warnings in the same
    // default category and quoting as the program's own lines; only the
    // program's lines are wanted here.
    QProcessEnvironment env = environment;
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("default.warning=false"));
    setProcessEnvironment(env);
    setProgram(QStringLiteral(STEADYTONE_EXE));
    setArguments(arguments);
}

bool Player::play()
{
    start();
    if (!waitForStarted(5000))
        return false;
    QDeadlineTimer deadline(5000);
    while (log().isEmpty() && !deadline.hasExpired() && state() == QProcess::Running)
        QTest::qWait(10);
    return !log().isEmpty();
}

QStringList Player::log()
{
    written += readAllStandardError();
    const QString text = QString::fromLocal8Bit(written);
    QStringList lines = text.split(QLatin1Char('\n'));
    lines.removeLast(); // the unfinished line, if any
    return lines;
}

QStringList Player::nameLines()
{
    QStringList names;
    for (const QString &line : log()) {
        if (line.startsWith(QLatin1Char('"')))
            names.append(line);
    }
    return names;
}
