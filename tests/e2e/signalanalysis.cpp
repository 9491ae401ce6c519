#include "signalanalysis.h"

#include <QtEndian>

#include <cstdlib>

namespace SignalAnalysis {

namespace {

    int end(const QVector<qint16> &samples, int to)
    {
        return to < 0 || to > samples.size() ? samples.size() : to;
    }

} // namespace

QVector<qint16> fromS16le(const QByteArray &bytes, int channels, int channel)
{
    QVector<qint16> out(bytes.size() / (2 * channels));
    const uchar *data = reinterpret_cast<const uchar *>(bytes.constData());
    for (int i = 0; i < out.size(); ++i)
        out[i] = qFromLittleEndian<qint16>(data + (i * channels + channel) * 2);
    return out;
}

int firstAbove(const QVector<qint16> &samples, int threshold, int from)
{
    for (int i = qMax(from, 0); i < samples.size(); ++i) {
        if (std::abs(samples.at(i)) > threshold)
            return i;
    }
    return -1;
}

int lastAbove(const QVector<qint16> &samples, int threshold)
{
    for (int i = samples.size() - 1; i >= 0; --i) {
        if (std::abs(samples.at(i)) > threshold)
            return i;
    }
    return -1;
}

int peak(const QVector<qint16> &samples, int from, int to)
{
    int result = 0;
    for (int i = from; i < end(samples, to); ++i)
        result = qMax(result, std::abs(int(samples.at(i))));
    return result;
}

double frequency(const QVector<qint16> &samples, int rate, int from, int to)
{
    double first = -1;
    double last = -1;
    int crossings = 0;
    for (int i = qMax(from + 1, 1); i < end(samples, to); ++i) {
        const int a = samples.at(i - 1);
        const int b = samples.at(i);
        if (a < 0 && b >= 0) {
            const double t = (i - 1) + double(-a) / (b - a);
            if (first < 0)
                first = t;
            last = t;
            ++crossings;
        }
    }
    if (crossings < 2)
        return 0;
    return (crossings - 1) * rate / (last - first);
}

int largestStep(const QVector<qint16> &samples, int from, int to)
{
    int result = 0;
    for (int i = qMax(from + 1, 1); i < end(samples, to); ++i)
        result = qMax(result, std::abs(samples.at(i) - samples.at(i - 1)));
    return result;
}

int longestZeroRun(const QVector<qint16> &samples, int from, int to)
{
    int longest = 0;
    int run = 0;
    for (int i = from; i < end(samples, to); ++i) {
        run = samples.at(i) == 0 ? run + 1 : 0;
        longest = qMax(longest, run);
    }
    return longest;
}

int alignment(const QVector<qint16> &samples, int from, const QVector<qint16> &reference,
              int length)
{
    if (from < 0 || from + length > samples.size())
        return -1;
    for (int offset = 0; offset < reference.size(); ++offset) {
        if (mismatches(samples, from, from + length, reference, offset) == 0)
            return offset;
    }
    return -1;
}

int mismatches(const QVector<qint16> &samples, int from, int to, const QVector<qint16> &reference,
               int offset)
{
    int count = 0;
    for (int i = from; i < end(samples, to); ++i) {
        if (samples.at(i) != reference.at((offset + i - from) % reference.size()))
            ++count;
    }
    return count;
}

} // namespace SignalAnalysis
