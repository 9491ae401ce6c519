#include "generator.h"
#include "tone.h"
#include "tonereference.h"

#include <QtTest>

// The tone device, through the bytes it serves.
class tst_Generator : public QObject
{
    Q_OBJECT

private slots:
    void servesTheTone_data();
    void servesTheTone();
    void defaultBuffer();
    void invalidFormatServesSilence();
    void noBytesPerSecond_data();
    void noBytesPerSecond();
    void unknownEncodingIsSilence_data();
    void unknownEncodingIsSilence();
    void readsLargerThanTheBufferWrap();
    void readEndingAtTheEndRewinds();
    void nonPositiveReadsReturnNothing();
    void stopThenStartRewinds();
    void writesAreRefused();
    void oddDurationsStopAtTheEnd();
    void absurdFormatsAreCapped_data();
    void absurdFormatsAreCapped();

private:
    static QByteArray readAll(Generator &generator, qint64 bytes);
};

QByteArray tst_Generator::readAll(Generator &generator, qint64 bytes)
{
    QByteArray data(int(bytes), '\x55');
    const qint64 got = generator.readData(data.data(), bytes);
    data.resize(int(qMax<qint64>(got, 0)));
    return data;
}

void tst_Generator::servesTheTone_data()
{
    QTest::addColumn<QAudioFormat>("format");
    QTest::addColumn<int>("frequency");

    using F = QAudioFormat;
    QTest::newRow("u8") << makeFormat(8000, 1, 8, F::UnSignedInt) << 440;
    QTest::newRow("s8") << makeFormat(8000, 1, 8, F::SignedInt) << 440;
    QTest::newRow("s8 big-endian ignored")
            << makeFormat(8000, 1, 8, F::SignedInt, F::BigEndian) << 440;
    QTest::newRow("u16le") << makeFormat(22050, 1, 16, F::UnSignedInt) << 1000;
    QTest::newRow("u16be") << makeFormat(22050, 1, 16, F::UnSignedInt, F::BigEndian) << 1000;
    QTest::newRow("s16le") << makeFormat(44100, 1, 16) << 20;
    QTest::newRow("s16be") << makeFormat(44100, 1, 16, F::SignedInt, F::BigEndian) << 20;
    QTest::newRow("s16le stereo") << makeFormat(48000, 2, 16) << 997;
    QTest::newRow("u8 three channels") << makeFormat(11025, 3, 8, F::UnSignedInt) << 50;
    QTest::newRow("negative frequency") << makeFormat(44100, 1, 16) << -440;
    QTest::newRow("above half the rate") << makeFormat(8000, 1, 16) << 6000;
    QTest::newRow("high, odd frequency") << makeFormat(44100, 1, 16) << 12347;
}

void tst_Generator::servesTheTone()
{
    QFETCH(QAudioFormat, format);
    QFETCH(int, frequency);

    Generator generator(format, Tone::BufferDurationUs, frequency, nullptr);
    const qint64 frames = 10LL * format.sampleRate();
    const QByteArray expected = referenceTone(format, frequency, frames);
    QCOMPARE(generator.bytesAvailable(), qint64(expected.size()));

    generator.startReading();
    QVERIFY(generator.isOpen());
    // Through QIODevice::read, as an audio output pulls, in uneven pieces.
    QByteArray served;
    while (served.size() < expected.size())
        served += generator.read(qMin<qint64>(7919, expected.size() - served.size()));
    QCOMPARE(served.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        if (served.at(i) != expected.at(i))
            QFAIL(qPrintable(QStringLiteral("byte %1: got %2, expected %3")
                                     .arg(i)
                                     .arg(quint8(served.at(i)))
                                     .arg(quint8(expected.at(i)))));
    }
    // The phase restarts every second, so every second is the same bytes.
    const int second = expected.size() / 10;
    for (int s = 1; s < 10; ++s)
        QVERIFY(served.mid(s * second, second) == served.left(second));
    // And it goes on from the start.
    QCOMPARE(generator.read(64), expected.left(64));
}

void tst_Generator::defaultBuffer()
{
    Generator generator(defaultFormat(), Tone::BufferDurationUs, 20, nullptr);
    QCOMPARE(generator.bytesAvailable(), qint64(882000));
    QVERIFY(!generator.isOpen());
    const QByteArray start = readAll(generator, 4);
    QCOMPARE(start.at(0), '\0');
    QCOMPARE(start.at(1), '\0');
    QVERIFY(start.at(2) != '\0' || start.at(3) != '\0');
}

void tst_Generator::invalidFormatServesSilence()
{
    Generator generator(QAudioFormat(), Tone::BufferDurationUs, 440, nullptr);
    QCOMPARE(generator.bytesAvailable(), qint64(Generator::InitialBufferBytes));
    const QByteArray data = readAll(generator, 100000);
    QCOMPARE(data, QByteArray(100000, '\0'));
}

void tst_Generator::noBytesPerSecond_data()
{
    QTest::addColumn<QAudioFormat>("format");
    QTest::newRow("rate 0") << makeFormat(0, 1, 16);
    QTest::newRow("no channels") << makeFormat(44100, 0, 16);
    QTest::newRow("4-bit samples") << makeFormat(44100, 1, 4);
    QTest::newRow("negative rate") << makeFormat(-44100, 1, 16);
    QTest::newRow("negative channels and size") << makeFormat(44100, -2, -16);
}

void tst_Generator::noBytesPerSecond()
{
    QFETCH(QAudioFormat, format);
    Generator generator(format, Tone::BufferDurationUs, 440, nullptr);
    QCOMPARE(generator.bytesAvailable(), qint64(0));
    char data[16];
    QCOMPARE(generator.readData(data, sizeof data), qint64(0));
    generator.startReading();
    QCOMPARE(generator.read(data, sizeof data), qint64(0));
}

void tst_Generator::unknownEncodingIsSilence_data()
{
    QTest::addColumn<QAudioFormat>("format");
    QTest::newRow("16-bit float") << makeFormat(8000, 1, 16, QAudioFormat::Float);
    QTest::newRow("24-bit signed") << makeFormat(8000, 2, 24);
    QTest::newRow("32-bit float") << makeFormat(8000, 1, 32, QAudioFormat::Float);
}

void tst_Generator::unknownEncodingIsSilence()
{
    QFETCH(QAudioFormat, format);
    Generator generator(format, Tone::BufferDurationUs, 440, nullptr);
    const qint64 length =
            10LL * format.sampleRate() * format.channelCount() * format.sampleSize() / 8;
    QCOMPARE(generator.bytesAvailable(), length);
    QCOMPARE(readAll(generator, length), QByteArray(int(length), '\0'));
}

void tst_Generator::readsLargerThanTheBufferWrap()
{
    const QAudioFormat format = makeFormat(8000, 1, 8, QAudioFormat::UnSignedInt);
    Generator generator(format, Tone::BufferDurationUs, 440, nullptr);
    const QByteArray tone = referenceTone(format, 440, 80000);
    QCOMPARE(readAll(generator, 100), tone.left(100));
    // Two and a half buffers, starting where the last read stopped.
    const QByteArray data = readAll(generator, 200000);
    QCOMPARE(data.size(), 200000);
    QCOMPARE(data, (tone + tone + tone).mid(100, 200000));
    QCOMPARE(readAll(generator, 10), tone.mid(200100 % 80000, 10));
}

void tst_Generator::readEndingAtTheEndRewinds()
{
    const QAudioFormat format = makeFormat(8000, 1, 16);
    Generator generator(format, Tone::BufferDurationUs, 440, nullptr);
    const QByteArray tone = referenceTone(format, 440, 80000);
    QCOMPARE(readAll(generator, 1000), tone.left(1000));
    QCOMPARE(readAll(generator, tone.size() - 1000), tone.mid(1000));
    QCOMPARE(readAll(generator, 10), tone.left(10));
}

void tst_Generator::nonPositiveReadsReturnNothing()
{
    const QAudioFormat format = defaultFormat();
    Generator generator(format, Tone::BufferDurationUs, 440, nullptr);
    const QByteArray tone = referenceTone(format, 440, 100);
    QCOMPARE(readAll(generator, 50), tone.left(50));
    char data[8] = {};
    QCOMPARE(generator.readData(data, 0), qint64(0));
    QCOMPARE(generator.readData(data, -5), qint64(0));
    QCOMPARE(readAll(generator, 50), tone.mid(50, 50));
}

void tst_Generator::stopThenStartRewinds()
{
    const QAudioFormat format = defaultFormat();
    Generator generator(format, Tone::BufferDurationUs, 440, nullptr);
    const QByteArray tone = referenceTone(format, 440, 1000);
    generator.startReading();
    QCOMPARE(generator.read(1234), tone.left(1234));
    generator.stopReading();
    QVERIFY(!generator.isOpen());
    generator.startReading();
    QVERIFY(generator.isOpen());
    QCOMPARE(generator.read(100), tone.left(100));
}

void tst_Generator::writesAreRefused()
{
    Generator generator(defaultFormat(), Tone::BufferDurationUs, 440, nullptr);
    QCOMPARE(generator.writeData("abc", 3), qint64(0));
    QCOMPARE(generator.writeData(nullptr, -1), qint64(0));
    QCOMPARE(readAll(generator, 4), referenceTone(defaultFormat(), 440, 2));
}

void tst_Generator::oddDurationsStopAtTheEnd()
{
    // 1.00001 s of stereo 16-bit at 8000 Hz is 32000.32 bytes: the buffer
    // holds 32000 bytes and no write runs past it.
    const QAudioFormat format = makeFormat(8000, 2, 16);
    Generator generator(format, 1000010, 440, nullptr);
    QCOMPARE(generator.bytesAvailable(), qint64(32000));
    QCOMPARE(readAll(generator, 32000), referenceTone(format, 440, 8000));
    // A duration that leaves half a frame keeps that half silent.
    Generator odd(format, 1000060, 440, nullptr);
    QCOMPARE(odd.bytesAvailable(), qint64(32001));
    QCOMPARE(readAll(odd, 32001), referenceTone(format, 440, 8000) + QByteArray(1, '\0'));
}

void tst_Generator::absurdFormatsAreCapped_data()
{
    QTest::addColumn<QAudioFormat>("format");
    QTest::addColumn<qint64>("duration");

    // 32-bit float is not synthesized, so only the buffer's size is at stake.
    const QAudioFormat huge =
            makeFormat(std::numeric_limits<int>::max(), 8, 32, QAudioFormat::Float);
    QTest::newRow("bytes per second beyond 32 bits") << huge << Tone::BufferDurationUs;
    QTest::newRow("length beyond 64 bits")
            << makeFormat(44100, 3, 32, QAudioFormat::Float) << std::numeric_limits<qint64>::max();
    QTest::newRow("frames larger than the cap")
            << makeFormat(44100, std::numeric_limits<int>::max(), 1 << 20, QAudioFormat::Float)
            << Tone::BufferDurationUs;
}

void tst_Generator::absurdFormatsAreCapped()
{
    QFETCH(QAudioFormat, format);
    QFETCH(qint64, duration);

    Generator generator(format, duration, 440, nullptr);
    const qint64 frameBytes = qint64(format.channelCount()) * (format.sampleSize() / 8);
    QCOMPARE(generator.bytesAvailable(), Generator::MaxBufferBytes / frameBytes * frameBytes);
    QCOMPARE(generator.bytesAvailable() % frameBytes, qint64(0));
    if (generator.bytesAvailable() > 0)
        QCOMPARE(readAll(generator, 4096), QByteArray(4096, '\0'));
}

QTEST_APPLESS_MAIN(tst_Generator)
#include "tst_generator.moc"
