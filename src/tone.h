#ifndef TONE_H
#define TONE_H

#include <QAudioFormat>
#include <QStringList>
#include <QtGlobal>

// The tone and where it plays: what a user may ask for, what each value falls
// back to, and the format the tone is made in first. Everything that reads
// the tone's settings takes them from here.
namespace Tone {

constexpr int DefaultFrequency = 20;
constexpr double DefaultVolume = 0.02;
// The rate asked for first.
constexpr int SampleRate = 44100;
// Above this, in either sign, sound servers' resamplers and the devices cut
// the tone off: it keeps nothing awake. At or above half the sample rate it
// would fold back into an audible whistle, or play nothing at all.
constexpr int MaxFrequency = 20000;
// Qt plays any volume above this at full scale; below the lowest, every
// 16-bit sample of the tone is zero.
constexpr double MaxVolume = 1.0;
constexpr double MinVolume = 1.0 / 32767;
// Each tone buffer holds this much audio, played in a loop.
constexpr qint64 BufferDurationUs = 10000000;

constexpr bool isPlayableFrequency(int frequency)
{
    return frequency != 0 && frequency >= -MaxFrequency && frequency <= MaxFrequency;
}

// Written so that NaN, which compares false with everything, is not playable.
constexpr bool isPlayableVolume(double volume)
{
    return volume >= MinVolume && volume <= MaxVolume;
}

// A tone that can be played: a value it cannot have is replaced by the
// default, so no caller can ask for an inaudible, folded or full-scale tone.
struct Settings
{
    constexpr Settings(int frequency = DefaultFrequency, double volume = DefaultVolume)
        : frequency(isPlayableFrequency(frequency) ? frequency : DefaultFrequency)
        , volume(isPlayableVolume(volume) ? volume : DefaultVolume)
    { }

    int frequency;
    double volume;
};

// Where to play: on the default output, which playback follows; on every
// output; or on the ones named.
struct Outputs
{
    enum Mode { Default, All, Named };

    Mode mode = Default;
    QStringList names;
};

// PCM, 44100 Hz, mono, 16-bit signed little-endian: what a device is asked
// to play first.
inline QAudioFormat format()
{
    QAudioFormat format;
    format.setSampleRate(SampleRate);
    format.setChannelCount(1);
    format.setSampleSize(16);
    format.setCodec(QStringLiteral("audio/pcm"));
    format.setByteOrder(QAudioFormat::LittleEndian);
    format.setSampleType(QAudioFormat::SignedInt);
    return format;
}

} // namespace Tone

#endif // TONE_H
