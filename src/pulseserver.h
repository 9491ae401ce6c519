#ifndef PULSESERVER_H
#define PULSESERVER_H

// What the PulseAudio server (or PipeWire's pulse server) that this user's
// clients reach has to offer. It is asked through libpulse, which finds the
// server the way every client does (PULSE_SERVER, the runtime directory,
// client.conf) and never starts one.
class PulseServer
{
public:
    enum Status { Unreachable, NoDefaultSink, HasDefaultSink };

    // Waits at most this long for an answer: a hung server is as good as none.
    static constexpr int TimeoutMs = 1000;

    // Connects, asks the server for its default sink, and disconnects.
    static Status status();
};

#endif // PULSESERVER_H
