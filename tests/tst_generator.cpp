#include "generator.h"
#include "tone.h"
#include "tonereference.h"

#include <QtTest>

#include <limits>

// The tone device, through the bytes it serves.
class tst_Generator : public QObject
{
    Q_OBJECT

private slots:
    void servesTheTone_data();
    void servesTheTone();
    void readsWrapAndRewind();
    void oneToneOneBuffer();
};

void tst_Generator::servesTheTone_data()
{
    QTest::addColumn<QAudioFormat>("format");
    QTest::addColumn<int>("frequency");
    // The size of the buffer it serves in a loop, and whether that is the
    // tone or silence.
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<bool>("tone");

    // What a device may ask for instead of the program's own format.
    using F = QAudioFormat;
    QTest::newRow("s16le, mono, as the program asks")
            << defaultFormat() << 20 << qint64(882000) << true;
    QTest::newRow("s16le, stereo") << makeFormat(48000, 2, 16) << 997 << qint64(1920000) << true;
    QTest::newRow("s16be") << makeFormat(22050, 1, 16, F::SignedInt, F::BigEndian) << 1000
                           << qint64(441000) << true;
    QTest::newRow("u16le") << makeFormat(22050, 1, 16, F::UnSignedInt) << 1000 << qint64(441000)
                           << true;
    QTest::newRow("u8, three channels")
            << makeFormat(11025, 3, 8, F::UnSignedInt) << 50 << qint64(330750) << true;
    QTest::newRow("s8") << makeFormat(8000, 1, 8) << 440 << qint64(80000) << true;
    QTest::newRow("a negative frequency") << defaultFormat() << -440 << qint64(882000) << true;
    // What it cannot encode, or lay out, it serves as silence.
    QTest::newRow("32-bit float") << makeFormat(8000, 1, 32, F::Float) << 440 << qint64(320000)
                                  << false;
    QTest::newRow("an invalid format")
            << QAudioFormat() << 440 << qint64(Generator::InitialBufferBytes) << false;
    QTest::newRow("no bytes per second") << makeFormat(0, 1, 16) << 440 << qint64(0) << false;
    // Absurd formats get no more memory than the cap, in whole frames.
    QTest::newRow("past the cap") << makeFormat(std::numeric_limits<int>::max(), 3, 32, F::Float)
                                  << 440 << Generator::MaxBufferBytes / 12 * 12 << false;
}

void tst_Generator::servesTheTone()
{
    QFETCH(QAudioFormat, format);
    QFETCH(int, frequency);
    QFETCH(qint64, bytes);
    QFETCH(bool, tone);

    Generator generator(format, Tone::BufferDurationUs, frequency, nullptr);
    QCOMPARE(generator.bytesAvailable(), bytes);
    generator.startReading();
    QVERIFY(generator.isOpen());
    // Through QIODevice::read, as an audio output pulls, in uneven pieces,
    // past the end of the buffer and round to its start again.
    const qint64 wanted = bytes > 4000000 ? 4096 : bytes + 1000;
    QByteArray served;
    while (served.size() < wanted) {
        const QByteArray piece = generator.read(qMin<qint64>(7919, wanted - served.size()));
        if (piece.isEmpty())
            break;
        served += piece;
    }
    QCOMPARE(served.size(), int(bytes > 0 ? wanted : 0));
    QByteArray expected = tone ? referenceTone(format, frequency, 10LL * format.sampleRate())
                               : QByteArray(int(qMin<qint64>(bytes, wanted)), '\0');
    while (expected.size() < served.size())
        expected += expected;
    expected.truncate(served.size());
    for (int i = 0; i < expected.size(); ++i) {
        if (served.at(i) != expected.at(i))
            QFAIL(qPrintable(QStringLiteral("byte %1: got %2, expected %3")
                                     .arg(i)
                                     .arg(quint8(served.at(i)))
                                     .arg(quint8(expected.at(i)))));
    }
}

void tst_Generator::readsWrapAndRewind()
{
    const QAudioFormat format = makeFormat(8000, 1, 16);
    const QByteArray tone = referenceTone(format, 440, 80000);
    Generator generator(format, Tone::BufferDurationUs, 440, nullptr);
    generator.startReading();
    QCOMPARE(generator.read(100), tone.left(100));
    // A read of two and a half buffers, from where the last one stopped.
    QCOMPARE(generator.read(5 * tone.size() / 2),
             (tone + tone + tone).mid(100, 5 * tone.size() / 2));
    // A read that ends at the end of the buffer leaves the next at its start.
    QCOMPARE(generator.read(tone.size() / 2 - 100), tone.mid(tone.size() / 2 + 100));
    QCOMPARE(generator.read(10), tone.left(10));
    // Stopped and started again, it reads from the start.
    generator.stopReading();
    QVERIFY(!generator.isOpen());
    generator.startReading();
    QCOMPARE(generator.read(10), tone.left(10));
}

void tst_Generator::oneToneOneBuffer()
{
    // Generators of one tone, one for each output, share its memory: twenty
    // cost what one does, and each reads from a position of its own.
    const qint64 before = residentKiB();
    std::vector<std::unique_ptr<Generator>> generators;
    for (int i = 0; i < 20; ++i) {
        generators.push_back(
                std::make_unique<Generator>(defaultFormat(), Tone::BufferDurationUs, 440, nullptr));
        generators.back()->startReading();
    }
    const qint64 grownKiB = residentKiB() - before;
    qInfo("twenty generators of one tone: %lld KiB", grownKiB);
#ifndef __SANITIZE_ADDRESS__
    QVERIFY2(grownKiB < 2 * 882000 / 1024, qPrintable(QString::number(grownKiB)));
#endif
    const QByteArray tone = referenceTone(defaultFormat(), 440, 1000);
    QCOMPARE(generators.at(0)->read(600), tone.left(600));
    QCOMPARE(generators.at(1)->read(600), tone.left(600));
    // The last of them gone, the tone is made afresh.
    generators.clear();
    Generator again(defaultFormat(), Tone::BufferDurationUs, 440, nullptr);
    again.startReading();
    QCOMPARE(again.read(600), tone.left(600));
}

QTEST_APPLESS_MAIN(tst_Generator)
#include "tst_generator.moc"
