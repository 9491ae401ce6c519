// Runs steadytone, the same tone device on a bare QAudioOutput (Qt's floor),
// and sox's play producing the same tone, on a private PulseAudio null sink,
// one after the other, and reports what each costs: CPU time, context
// switches, peak resident memory and time to first sound. Then each way of
// choosing outputs by turns: one output, three named ones, --all on three
// sinks, and three named ones with one stream killed by the server and
// rebuilt; and the default mode beside --all on one sink.
//   processbench [SECONDS]
#include "audioserver.h"
#include "childprocess.h"
#include "recorder.h"
#include "signalanalysis.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTest>

#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

#include <unistd.h>

namespace {

struct Usage
{
    double cpuSeconds = 0;
    qint64 contextSwitches = 0;
    // Those of the main thread, which runs the event loop.
    qint64 mainSwitches = 0;
};

struct Figures
{
    double cpuSeconds = 0; // whole run
    double steadyCpuPercent = 0; // after the first five seconds
    double switchesPerSecond = 0; // after the first five seconds
    double mainSwitchesPerSecond = 0;
    double peakRssMiB = 0;
    double firstSoundMs = -1;
};

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

qint64 statusField(const QByteArray &status, const QByteArray &name)
{
    for (const QByteArray &line : status.split('\n')) {
        if (line.startsWith(name + ':'))
            return line.mid(name.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

// CPU time of the process (all its threads, ended ones too) and the context
// switches of its threads.
Usage usage(qint64 pid)
{
    Usage result;
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    // Fields after the command name, which is in parentheses and may hold spaces.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    const double tick = double(sysconf(_SC_CLK_TCK));
    result.cpuSeconds = (fields.value(11).toLongLong() + fields.value(12).toLongLong()) / tick;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QByteArray status = readFile(tasks.filePath(task) + QStringLiteral("/status"));
        const qint64 switches = statusField(status, "voluntary_ctxt_switches")
                + statusField(status, "nonvoluntary_ctxt_switches");
        result.contextSwitches += switches;
        if (task.toLongLong() == pid)
            result.mainSwitches = switches;
    }
    return result;
}

// What is done to the process once it has settled, before it is measured.
using Settled = std::function<void(qint64 pid)>;

// The first sound is timed on the first sink recorded.
Figures measure(AudioServer &server, const QString &program, const QStringList &arguments,
                const QProcessEnvironment &environment, int seconds,
                const Settled &settledHook = {},
                const QStringList &recorded = { QStringLiteral("bench1") })
{
    Figures figures;
    std::vector<std::unique_ptr<Recorder>> recorders;
    for (const QString &sink : recorded) {
        recorders.push_back(std::make_unique<Recorder>(server, sink, 44100, 1));
        if (!recorders.back()->start())
            qFatal("parec did not start");
    }
    Recorder &recorder = *recorders.front();
    ChildProcess process;
    process.setProcessEnvironment(environment);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    if (!process.waitForStarted(5000))
        qFatal("%s did not start", qPrintable(program));
    const qint64 pid = process.processId();

    while (clock.elapsed() < 5000) {
        if (figures.firstSoundMs < 0 && SignalAnalysis::firstAbove(recorder.samples(), 0) >= 0)
            figures.firstSoundMs = clock.elapsed();
        QTest::qWait(5);
    }
    if (settledHook) {
        settledHook(pid);
        QTest::qWait(1000);
    }
    const Usage settled = usage(pid);
    const qint64 settledAt = clock.elapsed();
    while (clock.elapsed() < seconds * 1000)
        QTest::qWait(200);
    const Usage end = usage(pid);
    const double steadySeconds = (clock.elapsed() - settledAt) / 1000.0;
    figures.cpuSeconds = end.cpuSeconds;
    figures.steadyCpuPercent = 100.0 * (end.cpuSeconds - settled.cpuSeconds) / steadySeconds;
    figures.switchesPerSecond = (end.contextSwitches - settled.contextSwitches) / steadySeconds;
    figures.mainSwitchesPerSecond = (end.mainSwitches - settled.mainSwitches) / steadySeconds;
    figures.peakRssMiB =
            statusField(readFile(QStringLiteral("/proc/%1/status").arg(pid)), "VmHWM") / 1024.0;
    process.terminateAndWait();
    return figures;
}

Figures median(QList<Figures> runs)
{
    auto middle = [&runs](double Figures::*field) {
        std::sort(runs.begin(), runs.end(),
                  [field](const Figures &a, const Figures &b) { return a.*field < b.*field; });
        return runs.at(runs.size() / 2).*field;
    };
    Figures result;
    result.cpuSeconds = middle(&Figures::cpuSeconds);
    result.steadyCpuPercent = middle(&Figures::steadyCpuPercent);
    result.switchesPerSecond = middle(&Figures::switchesPerSecond);
    result.mainSwitchesPerSecond = middle(&Figures::mainSwitchesPerSecond);
    result.peakRssMiB = middle(&Figures::peakRssMiB);
    result.firstSoundMs = middle(&Figures::firstSoundMs);
    return result;
}

// Takes the sink away and brings it back, as a device switched off and on:
// the process plays on it again on a new stream.
void replug(AudioServer &server, const AudioServer::Sink &sink)
{
    server.unloadSink(sink.name);
    QTest::qWait(500);
    server.loadSink(sink);
}

void table(const QStringList &names, const QList<Figures> &figures, int seconds)
{
    auto row = [&](const QString &what, const char *format, double Figures::*field) {
        QByteArray line = QStringLiteral("| %1 |").arg(what, -34).toUtf8();
        for (const Figures &each : figures)
            line += " " + QString::asprintf(format, each.*field).toUtf8() + " |";
        qInfo("%s", line.constData());
    };
    QByteArray head = QStringLiteral("| %1 |").arg(QStringLiteral("figure"), -34).toUtf8();
    QByteArray rule = "|" + QByteArray(36, '-') + "|";
    for (const QString &name : names) {
        head += QStringLiteral(" %1 |").arg(name, 10).toUtf8();
        rule += QByteArray(12, '-') + "|";
    }
    qInfo("%s", head.constData());
    qInfo("%s", rule.constData());
    row(QStringLiteral("CPU seconds over %1 s").arg(seconds), "%10.2f", &Figures::cpuSeconds);
    row(QStringLiteral("CPU % of one core, steady"), "%10.2f", &Figures::steadyCpuPercent);
    row(QStringLiteral("context switches per second"), "%10.1f", &Figures::switchesPerSecond);
    row(QStringLiteral("of them, the main thread's"), "%10.1f", &Figures::mainSwitchesPerSecond);
    row(QStringLiteral("peak RSS (MiB)"), "%10.1f", &Figures::peakRssMiB);
    row(QStringLiteral("first sound after start (ms)"), "%10.0f", &Figures::firstSoundMs);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int seconds = qMax(10, app.arguments().value(1, QStringLiteral("60")).toInt());

    AudioServer server(AudioServer::PulseAudio);
    QList<AudioServer::Sink> sinks;
    for (int i = 1; i <= 3; ++i)
        sinks.append({ QStringLiteral("bench%1").arg(i), 44100, 1 });
    if (!server.start(sinks))
        qFatal("no audio server: %s", qPrintable(server.errorString()));

    qInfo("Each program plays 20 Hz at volume 0.02 for %d s on a private PulseAudio null sink.",
          seconds);
    // The first stream a fresh null sink plays is heard only after about
    // 1.8 s, whichever program plays it; one unmeasured run on every sink
    // first keeps that out of the figures.
    measure(server, QStringLiteral(STEADYTONE_EXE), { "--all" }, server.environment(), 0);
    const Figures ours =
            measure(server, QStringLiteral(STEADYTONE_EXE), {}, server.environment(), seconds);
    const Figures bare =
            measure(server, QStringLiteral(BAREOUTPUT_EXE), {}, server.environment(), seconds);
    QProcessEnvironment soxEnvironment = server.environment();
    soxEnvironment.insert(QStringLiteral("AUDIODRIVER"), QStringLiteral("pulseaudio"));
    const Figures sox =
            measure(server, QStringLiteral("play"),
                    { "-q", "-n", "synth", "sine", "20", "vol", "0.02" }, soxEnvironment, seconds);
    table({ "steadytone", "bare Qt", "play" }, { ours, bare, sox }, seconds);

    // Each way of choosing outputs, by turns, so that what the machine does
    // meanwhile falls on all of them alike; medians of three rounds. Every
    // sink is recorded at a short latency, as a real device plays, so that
    // the server asks every stream for data as often as a device would.
    const int turnSeconds = qMax(10, seconds / 4);
    const QStringList three { "--device", "bench1", "--device", "bench2", "--device", "bench3" };
    struct Mode
    {
        QString name;
        QString program;
        QStringList arguments;
        Settled hook;
    };
    const QList<Mode> modes {
        { "bare Qt", QStringLiteral(BAREOUTPUT_EXE), {}, {} },
        { "1 output", QStringLiteral(STEADYTONE_EXE), { "--device", "bench1" }, {} },
        { "3 named", QStringLiteral(STEADYTONE_EXE), three, {} },
        { "--all on 3", QStringLiteral(STEADYTONE_EXE), { "--all" }, {} },
        { "3, 1 replugged", QStringLiteral(STEADYTONE_EXE), three,
          [&server, &sinks](qint64) { replug(server, sinks.at(1)); } },
    };
    qInfo("\nEach way of choosing outputs, by turns, %d s each, with every sink recorded at a "
          "latency of 20 ms, medians of three rounds; the last takes bench2 away and back once "
          "the program has settled, and measures after its output there started again.",
          turnSeconds);
    QVector<QList<Figures>> byMode(modes.size());
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < modes.size(); ++i)
            byMode[i].append(measure(server, modes.at(i).program, modes.at(i).arguments,
                                     server.environment(), turnSeconds, modes.at(i).hook,
                                     { "bench1", "bench2", "bench3" }));
    }
    QStringList names;
    QList<Figures> medians;
    for (int i = 0; i < modes.size(); ++i) {
        names << modes.at(i).name;
        medians << median(byMode.at(i));
    }
    table(names, medians, turnSeconds);
    const Figures &one = medians.at(1);
    for (int i = 2; i < modes.size(); ++i)
        qInfo("%s against 1 output: main thread %.2f times, whole process %.2f times",
              qPrintable(modes.at(i).name),
              medians.at(i).mainSwitchesPerSecond / one.mainSwitchesPerSecond,
              medians.at(i).switchesPerSecond / one.switchesPerSecond);

    // Every mode checks the same way: --all reads no device list at its
    // regular checks, so on a server with one sink it costs what following
    // the default does. By turns, five rounds each, with the spread, which
    // tells what of a difference is noise.
    qInfo("\nThe default mode and --all on a server with one sink, by turns, five runs of %d s "
          "each: medians, and the spread.",
          turnSeconds);
    server.stop();
    AudioServer single(AudioServer::PulseAudio);
    if (!single.start({ sinks.first() }))
        qFatal("no audio server: %s", qPrintable(single.errorString()));
    measure(single, QStringLiteral(STEADYTONE_EXE), {}, single.environment(), 0);
    QList<Figures> defaultOrAll[2];
    for (int round = 0; round < 5; ++round) {
        for (int mode = 0; mode < 2; ++mode)
            defaultOrAll[mode].append(measure(single, QStringLiteral(STEADYTONE_EXE),
                                              mode == 0 ? QStringList() : QStringList { "--all" },
                                              single.environment(), turnSeconds));
    }
    table({ "default", "--all" }, { median(defaultOrAll[0]), median(defaultOrAll[1]) },
          turnSeconds);
    for (int mode = 0; mode < 2; ++mode) {
        QStringList cpu;
        for (const Figures &run : qAsConst(defaultOrAll[mode]))
            cpu << QString::number(run.steadyCpuPercent, 'f', 2);
        qInfo("%s: CPU %% of one core in each run: %s", mode == 0 ? "default" : "--all",
              qPrintable(cpu.join(QStringLiteral(", "))));
    }
    return 0;
}
