#ifndef HEARING_H
#define HEARING_H

#include "serverstate.h"

// What of the tone reaches a device, from what the server reports of the
// device and of this process's stream there: the sound server may have
// suspended it, and the mixers' mute buttons and sliders, the stream's and
// the device's, can take the tone away or turn it down.
struct Hearing
{
    enum Trouble {
        // The tone reaches the device as it plays, or turned down.
        Heard,
        Reduced,
        // Nothing of it does.
        Stalled,
        StreamMuted,
        SinkMuted,
        Silenced,
        Suspended,
    };

    Trouble trouble = Heard;
    // The sliders, in percent, as mixers show them.
    int streamPercent = 100;
    int sinkPercent = 100;
    // The volume the device gets the tone at.
    double level = 0.0;

    // Whether anything of the tone reaches the device.
    bool reaches() const { return trouble == Heard || trouble == Reduced; }

    // For a tone played at volume on the sink, by the stream, which Qt
    // finds stalled or not; without a stream there, nothing of it plays,
    // and a sink the server has not reported lets it through.
    static Hearing of(double volume, const ServerState::Sink *sink,
                      const ServerState::Stream *stream, bool stalled);

    bool operator==(const Hearing &other) const
    {
        return trouble == other.trouble && streamPercent == other.streamPercent
                && sinkPercent == other.sinkPercent;
    }
    bool operator!=(const Hearing &other) const { return !(*this == other); }
};

#endif // HEARING_H
