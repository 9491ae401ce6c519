#ifndef SIGNALANALYSIS_H
#define SIGNALANALYSIS_H

#include <QByteArray>
#include <QVector>

// Plain measurements on recorded 16-bit samples.
namespace SignalAnalysis {

// One channel of interleaved signed 16-bit little-endian frames; a trailing
// partial frame is left out.
QVector<qint16> fromS16le(const QByteArray &bytes, int channels = 1, int channel = 0);

// Index of the first sample whose magnitude exceeds threshold, or -1.
int firstAbove(const QVector<qint16> &samples, int threshold, int from = 0);
// Index of the last sample whose magnitude exceeds threshold, or -1.
int lastAbove(const QVector<qint16> &samples, int threshold);
int peak(const QVector<qint16> &samples, int from = 0, int to = -1);
// Frequency from rising zero crossings, interpolated between samples.
double frequency(const QVector<qint16> &samples, int rate, int from = 0, int to = -1);
// Largest difference between neighbouring samples.
int largestStep(const QVector<qint16> &samples, int from = 0, int to = -1);
// Longest run of zero samples.
int longestZeroRun(const QVector<qint16> &samples, int from = 0, int to = -1);
// Where in reference (read circularly) the samples from `from` on match
// `length` samples exactly, or -1.
int alignment(const QVector<qint16> &samples, int from, const QVector<qint16> &reference,
              int length = 64);
// How many samples from `from` on differ from reference read circularly from offset.
int mismatches(const QVector<qint16> &samples, int from, int to, const QVector<qint16> &reference,
               int offset);

} // namespace SignalAnalysis

#endif // SIGNALANALYSIS_H
