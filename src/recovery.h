#ifndef RECOVERY_H
#define RECOVERY_H

#include <QtGlobal>

// Decides what to do about one output, from what Qt says of it and what the
// audio server says, and remembers what earlier checks and rebuilds taught.
// Playback on a new device starts with a fresh one.
class Recovery
{
public:
    enum Action { Nothing, Rebuild, PutBack, Restart };
    // What is wrong with the output.
    enum Cause { Healthy, Failed, Killed, Moved, Stalled, BackendLost };

    struct Verdict
    {
        Action action = Nothing;
        Cause cause = Healthy;
        // Waiting out the backoff: when to look again, in milliseconds.
        int retryInMs = 0;
    };

    // What a check knows of the output.
    struct Observation
    {
        // Qt: stopped with an error, as when its audio server went away.
        bool failed = false;
        // Qt: still active, with no error, but the server killed its stream.
        bool killed = false;
        // Qt: audio handed to the server, and how much of that its buffer holds.
        qint64 playedUs = 0;
        qint64 bufferUs = 0;
        // Seen at a regular check, a whole check interval after the last one;
        // and when, in milliseconds on a monotonic clock.
        bool regular = false;
        qint64 atMs = 0;
        // The server answers, lists the output's device, and reports a
        // stream of this process on it; or one that it moved away from it.
        bool serverAnswers = false;
        bool deviceListed = false;
        bool streamListed = false;
        bool streamMovedAway = false;
    };

    // A new output takes its first fill at once, as much as the server has
    // room for, and the server may take a little more before it plays: only
    // what it took beyond this much past the buffer has played.
    static constexpr qint64 FirstFillSlackUs = 100000;
    static qint64 playedBeyondFirstFill(qint64 playedUs, qint64 bufferUs)
    {
        return playedUs - bufferUs - FirstFillSlackUs;
    }

    // An output killed, failed or moved again after a rebuild that never
    // played is rebuilt RetryMs later, then twice as late each time, up to
    // MaxRetryMs: whatever did it cannot make the program loop, and the tone
    // is back soon after it stops.
    static constexpr int RetryMs = 1000;
    static constexpr int MaxRetryMs = 4000;
    // A stalled output whose rebuilds keep finding nothing played is
    // rebuilt at most every 2^MaxStallBackoff regular checks.
    static constexpr int MaxStallBackoff = 6;

    Verdict next(const Observation &seen);
    // The rebuild asked for has been made; its output failed as it started,
    // or not.
    void rebuilt(bool failedAtOnce);
    // The server changed in a way that may have ended the trouble: the next
    // check that finds the output in trouble rebuilds it, whatever the
    // backoff says.
    void rearm();

    // Whether the last regular check found the output had played nothing.
    bool isStalled() const { return stalled; }

private:
    Cause troubleWith(const Observation &seen, bool measured, bool stall) const;
    // How long after a rebuild that never played the next may come, for a
    // stream taken away.
    qint64 retryDelayMs() const;

    // What the output had played at the last regular check; -1 before its first.
    qint64 playedAtCheck = -1;
    bool stalled = false;
    // The server has reported the output's stream where it belongs.
    bool streamSeen = false;
    // Rebuilds in a row whose outputs never played, and the regular checks
    // since the last rebuild that found the output in trouble.
    int fruitlessRebuilds = 0;
    int troubledChecks = 0;
    qint64 seenAtMs = 0;
    qint64 rebuiltAtMs = 0;
    bool backendLost = false;
    bool rearmed = false;
    // The server was asked to put the stream back where it belongs.
    bool putBack = false;
};

#endif // RECOVERY_H
