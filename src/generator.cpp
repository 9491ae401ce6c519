#include "generator.h"

#include <QHash>
#include <QtEndian>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr double TwoPi = 6.283185307179586;

// Number of bytes of audio for the format and duration, or 0 when the format
// cannot carry any. Worked out in 64 bits without overflow; a length past the
// cap becomes the largest whole number of frames under it, so no format can
// make the buffer wrap or explode.
qint64 bufferLength(int sampleRate, int channels, int channelBytes, qint64 durationUs)
{
    if (sampleRate <= 0 || channels <= 0 || channelBytes <= 0 || durationUs <= 0)
        return 0;
    constexpr qint64 Max = std::numeric_limits<qint64>::max();
    const qint64 frameBytes = qint64(channels) * channelBytes; // below 2^62
    const qint64 capped = Generator::MaxBufferBytes / frameBytes * frameBytes;
    if (frameBytes > Max / sampleRate)
        return capped;
    const qint64 bytesPerSecond = frameBytes * sampleRate;
    if (bytesPerSecond > Max / durationUs)
        return capped;
    const qint64 length = bytesPerSecond * durationUs / Generator::MicrosecondsPerSecond;
    return length > Generator::MaxBufferBytes ? capped : length;
}

// Encodes one sample value x in [-1, 1] into out; returns the byte count
// written, or 0 for an encoding the generator does not produce.
int encodeSample(double x, const QAudioFormat &format, uchar *out)
{
    const bool little = format.byteOrder() == QAudioFormat::LittleEndian;
    switch (format.sampleSize()) {
    case 8:
        if (format.sampleType() == QAudioFormat::UnSignedInt) {
            out[0] = uchar(int((x + 1.0) * 0.5 * 255.0));
            return 1;
        }
        if (format.sampleType() == QAudioFormat::SignedInt) {
            out[0] = uchar(qint8(int(x * 127.0)));
            return 1;
        }
        return 0;
    case 16: {
        quint16 value = 0;
        if (format.sampleType() == QAudioFormat::UnSignedInt)
            value = quint16(int((x + 1.0) * 0.5 * 65535.0));
        else if (format.sampleType() == QAudioFormat::SignedInt)
            value = quint16(qint16(int(x * 32767.0)));
        else
            return 0;
        if (little)
            qToLittleEndian(value, out);
        else
            qToBigEndian(value, out);
        return 2;
    }
    default:
        return 0;
    }
}

// The tones made, and how many generators play each: every generator of a
// tone shares its buffer (a QByteArray shares what it holds until it is
// written to, which no generator does), and the tone goes with the last of
// them. Ten seconds of tone for each output would cost a megabyte each.
// Generators live on the main thread alone.
struct Made
{
    QByteArray buffer;
    int generators = 0;
};

QHash<QString, Made> &tonesMade()
{
    static QHash<QString, Made> tones;
    return tones;
}

} // namespace

Generator::Generator(const QAudioFormat &format, qint64 durationUs, int frequency, QObject *parent)
    : QIODevice(parent)
    , buffer(InitialBufferBytes, '\0')
{
    if (!format.isValid())
        return;
    tone = QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8")
                   .arg(format.codec())
                   .arg(format.sampleRate())
                   .arg(format.channelCount())
                   .arg(format.sampleSize())
                   .arg(format.sampleType())
                   .arg(format.byteOrder())
                   .arg(durationUs)
                   .arg(frequency);
    Made &made = tonesMade()[tone];
    if (made.generators++ == 0) {
        synthesize(format, durationUs, frequency);
        made.buffer = buffer;
    } else {
        buffer = made.buffer;
    }
}

Generator::~Generator()
{
    if (!tone.isEmpty() && --tonesMade()[tone].generators == 0)
        tonesMade().remove(tone);
}

void Generator::startReading()
{
    open(QIODevice::ReadOnly);
}

void Generator::stopReading()
{
    position = 0;
    close();
}

qint64 Generator::bytesAvailable() const
{
    return buffer.size() + QIODevice::bytesAvailable();
}

qint64 Generator::readData(char *data, qint64 maxSize)
{
    if (buffer.isEmpty() || maxSize <= 0)
        return 0;
    qint64 total = 0;
    while (maxSize - total > 0) {
        const qint64 chunk = qMin(buffer.size() - position, maxSize - total);
        std::memcpy(data + total, buffer.constData() + position, size_t(chunk));
        position = (position + chunk) % buffer.size();
        total += chunk;
    }
    return total;
}

qint64 Generator::writeData(const char *data, qint64 size)
{
    Q_UNUSED(data)
    Q_UNUSED(size)
    return 0;
}

void Generator::synthesize(const QAudioFormat &format, qint64 durationUs, int frequency)
{
    const int channelBytes = format.sampleSize() / 8;
    const int channels = format.channelCount();
    const int sampleRate = format.sampleRate();
    const qint64 length = bufferLength(sampleRate, channels, channelBytes, durationUs);

    // Whatever the loop below does not write (an encoding it does not
    // produce, a trailing partial frame) stays silence.
    buffer.fill('\0', int(length));
    if (length == 0)
        return;

    const double step = frequency * TwoPi;
    const qint64 frameBytes = qint64(channels) * channelBytes;
    const qint64 frames = length / frameBytes;
    // The phase restarts every sampleRate frames, one second of audio, so for
    // any whole-number frequency each second joins the next without a jump and
    // the buffer loops seamlessly. It also makes every second the same bytes:
    // only the first is computed, the rest are copies of it.
    const qint64 secondFrames = qMin<qint64>(frames, sampleRate);
    uchar *const start = reinterpret_cast<uchar *>(buffer.data());
    uchar *out = start;
    uchar sample[2];
    for (qint64 n = 0; n < secondFrames; ++n) {
        const double x = std::sin(n * step / sampleRate);
        const int sampleBytes = encodeSample(x, format, sample);
        for (int c = 0; c < channels; ++c) {
            std::memcpy(out, sample, size_t(sampleBytes));
            out += channelBytes;
        }
    }
    const qint64 secondBytes = secondFrames * frameBytes;
    const qint64 frameTotal = frames * frameBytes;
    for (qint64 done = secondBytes; done < frameTotal; done += secondBytes)
        std::memcpy(start + done, start, size_t(qMin(secondBytes, frameTotal - done)));
}
