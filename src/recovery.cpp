#include "recovery.h"

Recovery::Verdict Recovery::next(const Observation &seen)
{
    if (playedBeyondFirstFill(seen.playedUs, seen.bufferUs) > 0)
        fruitlessRebuilds = 0;
    if (seen.serverAnswers && seen.streamListed)
        streamSeen = true;
    seenAtMs = seen.atMs;
    // A new output is measured from its first regular check on, since
    // filling its buffer is not playing.
    const bool measured = seen.regular && playedAtCheck >= 0;
    const bool stall = measured && seen.playedUs == playedAtCheck;
    if (seen.regular) {
        playedAtCheck = seen.playedUs;
        stalled = stall;
    }

    const Cause cause = troubleWith(seen, measured, stall);
    if (cause == Healthy) {
        putBack = false;
        if (measured) {
            troubledChecks = 0;
            backendLost = false;
            rearmed = false;
        }
        return {};
    }
    if (seen.regular)
        ++troubledChecks;
    // Nothing plays without a server: wait, quietly, for it to come back.
    if (!seen.serverAnswers)
        return { Nothing, cause };
    // Qt's backend lost the server: a rebuild failed as it started, or Qt
    // still names a device the server no longer has while its output
    // failed. Only a fresh process sees the server as it is now.
    if (backendLost || (seen.failed && !seen.deviceListed))
        return { Restart, BackendLost };
    // Qt still knows a device the server no longer has, where a new stream
    // could block it for good. Its view catches up soon, and playback moves.
    if (!seen.deviceListed)
        return { Nothing, cause };
    // A stream the server moved away, on a default switch, is asked back
    // rather than started again: a stream moved onto a sink that is not the
    // default is left there at the next switch. Should it not come back by
    // the next regular check, it is started again.
    if (cause == Moved && seen.streamMovedAway && (!putBack || !seen.regular)) {
        if (putBack)
            return { Nothing, cause };
        putBack = true;
        return { PutBack, cause };
    }
    // A sink suspended on purpose stalls a stream just like one the server
    // broke, and its stream plays again by itself when it resumes: after a
    // rebuild that never played, the next comes after twice as many regular
    // checks each time, up to about five minutes, so a suspension costs a
    // rebuild or two. A stream taken away needs a new one to play again,
    // which is tried again within seconds.
    if (!rearmed && fruitlessRebuilds > 0) {
        if (cause == Stalled && troubledChecks < 1 << qMin(fruitlessRebuilds, MaxStallBackoff))
            return { Nothing, cause };
        const qint64 dueMs = rebuiltAtMs + retryDelayMs();
        if (cause != Stalled && seen.atMs < dueMs)
            return { Nothing, cause, int(dueMs - seen.atMs) };
    }
    return { Rebuild, cause };
}

Recovery::Cause Recovery::troubleWith(const Observation &seen, bool measured, bool stall) const
{
    if (seen.failed)
        return Failed;
    if (seen.killed)
        return Killed;
    // The server reports no stream of this process on the device: it moved
    // the stream elsewhere. Judged once the server has told of the stream,
    // or a whole check interval after the output started.
    if (seen.serverAnswers && seen.deviceListed && !seen.streamListed && (streamSeen || measured))
        return Moved;
    return stall ? Stalled : Healthy;
}

qint64 Recovery::retryDelayMs() const
{
    return qMin<qint64>(qint64(RetryMs) << qMin(fruitlessRebuilds - 1, 8), MaxRetryMs);
}

void Recovery::rebuilt(bool failedAtOnce)
{
    ++fruitlessRebuilds;
    troubledChecks = 0;
    rebuiltAtMs = seenAtMs;
    playedAtCheck = -1;
    stalled = false;
    streamSeen = false;
    backendLost = failedAtOnce;
    rearmed = false;
    putBack = false;
}

void Recovery::rearm()
{
    rearmed = true;
}
