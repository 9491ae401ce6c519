#include "player.h"

#include "qtmessages.h"

#include <QDir>
#include <QtTest>

Player::Player(const QProcessEnvironment &environment, const QStringList &arguments,
               QObject *parent)
    : ChildProcess(parent)
{
    QProcessEnvironment env = environment;
    env.insert(QStringLiteral("QT_MESSAGE_PATTERN"), QString::fromLatin1(QtMessages::Pattern));
    setProcessEnvironment(env);
    setProgram(QStringLiteral(STEADYTONE_EXE));
    setArguments(arguments);
    connect(this, &QProcess::readyReadStandardError, this, &Player::readLines);
}

Player::~Player()
{
    // Ended here, while this object is whole: the base class would end it
    // only after this part is gone, and a line it wrote as it ended would
    // then reach readLines() on a destroyed object.
    disconnect(this, &QProcess::readyReadStandardError, this, &Player::readLines);
    terminateAndWait();
    if (!QTest::currentTestFailed())
        return;
    readLines();
    QStringList shown;
    for (const Line &line : qAsConst(programLines))
        shown << QStringLiteral("%1 ms: %2").arg(line.atMs, 6).arg(line.text);
    qInfo().noquote() << "program log:\n" + shown.join('\n');
    shown.clear();
    for (const Line &line : qAsConst(ownLines))
        shown << QStringLiteral("%1 ms: %2: %3").arg(line.atMs, 6).arg(line.type, line.text);
    qInfo().noquote() << "its account:\n" + shown.join('\n');
    qInfo().noquote() << "Qt's messages:\n" + qtLines.join('\n');
}

bool Player::play()
{
    clock.start();
    start();
    if (!waitForStarted(5000))
        return false;
    QDeadlineTimer deadline(5000);
    while (log().isEmpty() && !deadline.hasExpired() && state() == QProcess::Running)
        QTest::qWait(10);
    return !log().isEmpty();
}

void Player::readLines()
{
    if (isOpen())
        unfinished += readAllStandardError();
    int end;
    while ((end = unfinished.indexOf('\n')) >= 0) {
        const QtMessages::Line line =
                QtMessages::parse(QString::fromLocal8Bit(unfinished.left(end)));
        unfinished.remove(0, end + 1);
        if (line.isSpecified())
            programLines.append({ clock.elapsed(), line.text, line.type });
        else if (line.isProgram())
            ownLines.append({ clock.elapsed(), line.text, line.type });
        else
            qtLines.append(line.text);
    }
}

QList<Player::Line> Player::lines()
{
    readLines();
    return programLines;
}

QList<Player::Line> Player::accountLines()
{
    readLines();
    return ownLines;
}

QStringList Player::log()
{
    QStringList texts;
    for (const Line &line : lines())
        texts.append(line.text);
    return texts;
}

QStringList Player::nameLines()
{
    return log().filter(QRegularExpression(QStringLiteral("^\"")));
}

int Player::openDescriptors() const
{
    return QDir(QStringLiteral("/proc/%1/fd").arg(processId()))
            .entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot)
            .size();
}
