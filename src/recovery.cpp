#include "recovery.h"

Recovery::Action Recovery::next(const Sight &sight)
{
    // Whatever the server took beyond the buffer's first fill, it played.
    if (sight.playedUSecs > sight.bufferUSecs) {
        played = true;
        fruitlessRebuilds = 0;
    }
    // A new output is measured from its first regular check on, since
    // filling its buffer is not playing.
    const bool measured = sight.regular && playedAtCheck >= 0;
    const bool stall = measured && sight.playedUSecs == playedAtCheck;
    const bool moved = measured && sight.elsewhere;
    if (sight.regular) {
        playedAtCheck = sight.playedUSecs;
        stalled = stall;
    }
    if (!sight.failed && !sight.killed && !moved && !stall) {
        if (measured) {
            troubledChecks = 0;
            backendLost = false;
        }
        return Nothing;
    }
    if (sight.regular)
        ++troubledChecks;
    // Nothing plays without a server: wait, quietly, for it to come back.
    if (!sight.serverAnswers)
        return Nothing;
    if (backendLost)
        return Restart;
    // A sink suspended on purpose stalls a stream just like one the server
    // killed, and a sink may kill every stream it gets. A rebuild whose
    // output never played is therefore followed by the next only after twice
    // as many troubled checks as the one before, up to about five minutes:
    // a suspension costs a rebuild or two, and nothing ever loops.
    if (fruitlessRebuilds > 0 && troubledChecks < 1 << qMin(fruitlessRebuilds, MaxRebuildBackoff))
        return Nothing;
    return Rebuild;
}

void Recovery::rebuilt(bool failedAtOnce)
{
    ++fruitlessRebuilds;
    troubledChecks = 0;
    playedAtCheck = -1;
    stalled = false;
    backendLost = failedAtOnce;
}
