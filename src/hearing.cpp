#include "hearing.h"

#include "tone.h"

#include <QtMath>

namespace {

// The factor a slider's share stands for: the sound server's volume scale is
// cubic, so that half-way is a quieter half.
double factor(const ServerState::Mixer &mixer)
{
    return mixer.volume * mixer.volume * mixer.volume;
}

} // namespace

Hearing Hearing::of(double volume, const ServerState::Sink *sink, const ServerState::Stream *stream,
                    bool stalled)
{
    const ServerState::Mixer sinkMixer = sink ? sink->mixer : ServerState::Mixer();
    const ServerState::Mixer streamMixer = stream ? stream->mixer : ServerState::Mixer();
    Hearing hearing;
    hearing.streamPercent = qRound(streamMixer.volume * 100);
    hearing.sinkPercent = qRound(sinkMixer.volume * 100);
    hearing.level = volume * factor(streamMixer) * factor(sinkMixer);
    if (sink && sink->suspended)
        hearing.trouble = Suspended;
    else if (sinkMixer.muted)
        hearing.trouble = SinkMuted;
    else if (streamMixer.muted)
        hearing.trouble = StreamMuted;
    // Below the lowest volume every sample of the tone is zero.
    else if (hearing.level < Tone::MinVolume)
        hearing.trouble = Silenced;
    else if (stalled || !stream)
        hearing.trouble = Stalled;
    else if (hearing.streamPercent < 100 || hearing.sinkPercent < 100)
        hearing.trouble = Reduced;
    return hearing;
}
