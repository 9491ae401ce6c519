#ifndef PLAYER_H
#define PLAYER_H

#include "childprocess.h"

#include <QElapsedTimer>
#include <QStringList>

// The real steadytone executable, run against a test's audio server. What it
// writes is split into its specified lines (settings and device names), its
// own account of what it does, and Qt's messages; each of its lines is timed.
class Player : public ChildProcess
{
    Q_OBJECT

public:
    struct Line
    {
        qint64 atMs = 0; // since play()
        QString text;
        QString type; // debug, info, warning, critical
    };

    Player(const QProcessEnvironment &environment, const QStringList &arguments,
           QObject *parent = nullptr);
    // When the test has failed, prints both logs first.
    ~Player() override;

    // Starts the program and waits for its settings line.
    bool play();
    qint64 elapsed() const { return clock.elapsed(); }

    // The program's specified lines, as they came.
    QList<Line> lines();
    QStringList log();
    // What it says of what it does.
    QList<Line> accountLines();
    // Its device-name lines: the quoted names, in order.
    QStringList nameLines();
    // How many descriptors the process has open.
    int openDescriptors() const;

private:
    void readLines();

    QElapsedTimer clock;
    QByteArray unfinished;
    QList<Line> programLines;
    QList<Line> ownLines;
    QStringList qtLines;
};

#endif // PLAYER_H
