#include "generator.h"
#include "tone.h"
#include "tonereference.h"

#include <QtTest>

// What the tone device costs: one synthesis at start, then plain copies for
// every pull of the audio output.
class bench_Generator : public QObject
{
    Q_OBJECT

private slots:
    void synthesizeDefaultBuffer();
    void read_data();
    void read();
};

void bench_Generator::synthesizeDefaultBuffer()
{
    QBENCHMARK
    {
        Generator generator(defaultFormat(), Tone::BufferDurationUs, 20, nullptr);
        Q_UNUSED(generator)
    }
}

void bench_Generator::read_data()
{
    QTest::addColumn<int>("bytes");
    // Pulls of 10, 20 and 40 ms of the default format, and larger ones.
    QTest::newRow("882 B (10 ms)") << 882;
    QTest::newRow("1764 B (20 ms)") << 1764;
    QTest::newRow("3528 B (40 ms)") << 3528;
    QTest::newRow("16384 B") << 16384;
    QTest::newRow("88200 B (1 s)") << 88200;
}

void bench_Generator::read()
{
    QFETCH(int, bytes);
    Generator generator(defaultFormat(), Tone::BufferDurationUs, 20, nullptr);
    QByteArray buffer(bytes, '\0');
    QBENCHMARK
    {
        generator.readData(buffer.data(), bytes);
    }
}

QTEST_APPLESS_MAIN(bench_Generator)
#include "bench_generator.moc"
