// libFuzzer target: tone devices built from arbitrary formats, durations and
// frequencies, read in arbitrary sizes. Built by scripts/fuzz.
#include "generator.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    QAudioFormat format;
    format.setSampleRate(input.ConsumeIntegral<int>());
    format.setChannelCount(input.ConsumeIntegral<int>());
    format.setSampleSize(input.ConsumeIntegral<int>());
    format.setSampleType(QAudioFormat::SampleType(input.ConsumeIntegralInRange(0, 3)));
    format.setByteOrder(QAudioFormat::Endian(input.ConsumeIntegralInRange(0, 1)));
    format.setCodec(input.ConsumeBool() ? QStringLiteral("audio/pcm") : QString());
    const qint64 durationUs = input.ConsumeIntegral<qint64>();
    const int frequency = input.ConsumeIntegral<int>();

    // Buffers of hundreds of megabytes are correct but would make each run
    // take seconds; the cap on them has unit tests of its own.
    const long double length = static_cast<long double>(format.sampleRate()) * format.channelCount()
            * (format.sampleSize() / 8) * durationUs / Generator::MicrosecondsPerSecond;
    if (length > (4 << 20))
        return 0;

    Generator generator(format, durationUs, frequency, nullptr);
    const qint64 available = generator.bytesAvailable();
    std::vector<char> buffer;
    while (input.remaining_bytes() > 0) {
        switch (input.ConsumeIntegralInRange(0, 3)) {
        case 0:
            generator.startReading();
            break;
        case 1:
            generator.stopReading();
            break;
        default: {
            const qint64 wanted = input.ConsumeIntegralInRange<qint64>(-16, 1 << 20);
            buffer.resize(size_t(qMax<qint64>(wanted, 1)));
            const qint64 got = generator.readData(buffer.data(), wanted);
            // Every read is filled completely, unless there is nothing to serve.
            if (got != (available > 0 && wanted > 0 ? wanted : 0))
                __builtin_trap();
        }
        }
    }
    if (generator.bytesAvailable() != available)
        __builtin_trap();
    return 0;
}
