#ifndef RECOVERY_H
#define RECOVERY_H

#include <QtGlobal>

// What the checks have learnt about the health of one output, and what to do
// about it. Playback on a new device starts with a fresh one.
class Recovery
{
public:
    enum Action { Nothing, Rebuild, Restart };

    // What a check saw of the output.
    struct Sight
    {
        // Stopped with an error: its audio server went away.
        bool failed = false;
        // Still active, but the server killed its stream.
        bool killed = false;
        // Playing, as far as Qt knows, with no stream of its own on the
        // device as far as the server says: moved to another output, once
        // the server has had the time to tell of a new stream.
        bool elsewhere = false;
        // Measured at a regular check, a whole check interval after the last.
        bool regular = false;
        // Audio handed to the server, and how much of that its buffer holds.
        qint64 playedUSecs = 0;
        qint64 bufferUSecs = 0;
        bool serverAnswers = false;
    };

    // Outputs that keep failing are rebuilt at most every 2^MaxRebuildBackoff
    // regular checks.
    static constexpr int MaxRebuildBackoff = 6;

    Action next(const Sight &sight);
    // A rebuild that fails as it starts shows that Qt's backend has lost the
    // server: only a fresh process plays again.
    void rebuilt(bool failedAtOnce);

    // Whether playback has played anything since this was made.
    bool hasPlayed() const { return played; }
    bool isBackendLost() const { return backendLost; }
    // Whether the last regular check found the output had played nothing.
    bool isStalled() const { return stalled; }

private:
    // What the output had played at the last regular check; -1 before its first.
    qint64 playedAtCheck = -1;
    bool played = false;
    bool stalled = false;
    // Rebuilds in a row whose outputs never played, and the regular checks
    // since the last rebuild that found the output in trouble.
    int fruitlessRebuilds = 0;
    int troubledChecks = 0;
    bool backendLost = false;
};

#endif // RECOVERY_H
