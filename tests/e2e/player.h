#ifndef PLAYER_H
#define PLAYER_H

#include "childprocess.h"

#include <QStringList>

// The real steadytone executable, run against a test's audio server.
class Player : public ChildProcess
{
    Q_OBJECT

public:
    Player(const QProcessEnvironment &environment, const QStringList &arguments,
           QObject *parent = nullptr);

    // Starts the program and waits for its settings line.
    bool play();
    // Every line it has written to standard error so far.
    QStringList log();
    // Its device-name lines: the quoted names, in order.
    QStringList nameLines();

private:
    QByteArray written;
};

#endif // PLAYER_H
