#ifndef TONEREFERENCE_H
#define TONEREFERENCE_H

#include <QAudioFormat>
#include <QByteArray>
#include <QFile>

#include <cmath>

// The tone as the tests expect it, written out plainly from its formula and
// independently of the program's generator: sample n of every channel is
// sin(2*pi*f*(n mod rate)/rate), scaled and truncated toward zero.
inline QByteArray referenceTone(const QAudioFormat &format, int frequency, qint64 frames)
{
    const int rate = format.sampleRate();
    const double step = frequency * 6.283185307179586;
    const bool bigEndian = format.byteOrder() != QAudioFormat::LittleEndian;
    QByteArray out;
    out.reserve(int(frames * format.channelCount() * (format.sampleSize() / 8)));
    for (qint64 n = 0; n < frames; ++n) {
        const double x = std::sin(double(n % rate) * step / rate);
        long value = 0;
        if (format.sampleType() == QAudioFormat::UnSignedInt)
            value = format.sampleSize() == 8 ? long(std::trunc((x + 1) * 0.5 * 255))
                                             : long(std::trunc((x + 1) * 0.5 * 65535));
        else
            value = format.sampleSize() == 8 ? long(std::trunc(x * 127))
                                             : long(std::trunc(x * 32767));
        for (int c = 0; c < format.channelCount(); ++c) {
            if (format.sampleSize() == 8) {
                out.append(char(value & 0xff));
            } else if (bigEndian) {
                out.append(char((value >> 8) & 0xff));
                out.append(char(value & 0xff));
            } else {
                out.append(char(value & 0xff));
                out.append(char((value >> 8) & 0xff));
            }
        }
    }
    return out;
}

inline QAudioFormat makeFormat(int rate, int channels, int size,
                               QAudioFormat::SampleType type = QAudioFormat::SignedInt,
                               QAudioFormat::Endian order = QAudioFormat::LittleEndian)
{
    QAudioFormat format;
    format.setSampleRate(rate);
    format.setChannelCount(channels);
    format.setSampleSize(size);
    format.setCodec(QStringLiteral("audio/pcm"));
    format.setByteOrder(order);
    format.setSampleType(type);
    return format;
}

// What this process holds in memory, in KiB: what the tone costs.
inline qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// The format the program asks for first.
inline QAudioFormat defaultFormat()
{
    return makeFormat(44100, 1, 16);
}

#endif // TONEREFERENCE_H
