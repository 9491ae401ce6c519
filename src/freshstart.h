#ifndef FRESHSTART_H
#define FRESHSTART_H

// Why only a fresh process can play again. The reasons cross into the new
// image as static text, which a thread may hand on while the main thread is
// stuck anywhere: every text is made when the program is compiled.
namespace FreshStart {

enum Reason {
    // Qt's backend lost its connection and gave up on it.
    BackendLost,
    // Qt's backend was started before the server and never found it.
    BackendNeverReached,
    // A start of an output did not return within StartLimitMs.
    StartStuck,
    // The event loop stopped running its checks.
    LoopStuck,
};

// A start of an output that takes longer never returns: Qt's backend waits
// for good for a stream that failed as it was created.
constexpr int StartLimitMs = 2000;

// The reason in words, with its figures.
const char *text(Reason reason);

} // namespace FreshStart

#endif // FRESHSTART_H
