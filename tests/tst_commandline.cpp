#include "audioout.h"
#include "audioserver.h"
#include "loopguard.h"

#include "qtmessages.h"

#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <vector>

namespace {

// Qt's default coarse timers may fire up to 5 % late.
constexpr int TimerSlackMs = AudioOut::CheckIntervalMs / 20;
// Starting the program and its first check, on a loaded two-core machine.
constexpr int StartAllowanceMs = 2000;
// How late the test may see a message: it polls every 100 ms, and a busy
// machine may schedule it later still.
constexpr int PollAllowanceMs = 300;

// Holds the strings a spawned program's environment points into.
struct Environment
{
    explicit Environment(QByteArrayList entries)
        : entries(std::move(entries))
    {
        for (QByteArray &entry : this->entries)
            pointers.push_back(entry.data());
        pointers.push_back(nullptr);
    }
    char *const *data() const { return pointers.data(); }

    QByteArrayList entries;
    std::vector<char *> pointers;
};

// One run of the executable with raw argument bytes, which QProcess cannot
// pass (it encodes QStrings); its standard error and output go to pipes.
struct RawRun
{
    pid_t pid = -1;
    int errFd = -1;
    int outFd = -1;
    QByteArray written;
    QByteArray output;
    bool exited = false;
    int status = 0;

    // The program's specified lines so far: its settings and device names.
    QByteArrayList specifiedLines() const
    {
        QByteArrayList lines;
        for (const QByteArray &line : written.split('\n')) {
            const QtMessages::Line parsed = QtMessages::parse(QString::fromUtf8(line));
            if (parsed.isSpecified())
                lines.append(parsed.text.toUtf8());
        }
        return lines;
    }
    int exitCode() const { return exited && WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
};

// With journal, standard error is made to look like the journal's stream.
RawRun spawnRaw(const QList<QByteArray> &arguments, QByteArrayList environment,
                QByteArray program = STEADYTONE_EXE, bool journal = false)
{
    RawRun run;
    int errPipe[2];
    int outPipe[2];
    if (pipe2(errPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0)
        return run;
    struct stat stream
    { };
    if (journal && fstat(errPipe[1], &stream) == 0)
        environment.append("JOURNAL_STREAM=" + QByteArray::number(quint64(stream.st_dev)) + ':'
                           + QByteArray::number(quint64(stream.st_ino)));
    const Environment env(environment);
    std::vector<char *> argv;
    argv.push_back(program.data());
    QList<QByteArray> copies = arguments;
    for (QByteArray &argument : copies)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    run.pid = fork();
    if (run.pid == 0) {
        // The run dies with the test, however the test ends.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        dup2(errPipe[1], STDERR_FILENO);
        dup2(outPipe[1], STDOUT_FILENO);
        execve(program.constData(), argv.data(), env.data());
        _exit(127);
    }
    ::close(errPipe[1]);
    ::close(outPipe[1]);
    run.errFd = errPipe[0];
    run.outFd = outPipe[0];
    return run;
}

// Reads what the run writes until done() holds, the deadline passes or the
// run has ended.
void readUntil(RawRun &run, const QDeadlineTimer &deadline, const std::function<bool()> &done)
{
    while (!run.exited && !done() && !deadline.hasExpired()) {
        pollfd ready[2] { { run.errFd, POLLIN, 0 }, { run.outFd, POLLIN, 0 } };
        ::poll(ready, 2, 100);
        for (int i = 0; i < 2; ++i) {
            char buffer[4096];
            const ssize_t got =
                    ready[i].revents != 0 ? ::read(ready[i].fd, buffer, sizeof buffer) : 0;
            if (got > 0)
                (i == 0 ? run.written : run.output).append(buffer, int(got));
        }
        run.exited = ::waitpid(run.pid, &run.status, WNOHANG) == run.pid;
    }
}

// Ends a run, reaps it, and reads what it wrote to the end.
void endRun(RawRun &run)
{
    if (!run.exited) {
        ::kill(run.pid, SIGKILL);
        ::waitpid(run.pid, nullptr, 0);
    }
    char buffer[4096];
    for (ssize_t got; (got = ::read(run.errFd, buffer, sizeof buffer)) > 0;)
        run.written.append(buffer, int(got));
    for (ssize_t got; (got = ::read(run.outFd, buffer, sizeof buffer)) > 0;)
        run.output.append(buffer, int(got));
    ::close(run.errFd);
    ::close(run.outFd);
}

} // namespace

// The real executable, started with each argument vector: its first log line
// is the tone settings it took, volume then frequency.
class tst_CommandLine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void settingsLine_data();
    void settingsLine();
    void trickyValues_data();
    void trickyValues();
    void serviceNotifications_data();
    void serviceNotifications();
    void guard_data();
    void guard();

private:
    // The environment of a run: no audio server is reachable.
    QByteArrayList environment(const QByteArrayList &extra = {}) const;
    // Runs the executable until it has written its settings line and the two
    // name lines of its first check, or has ended, and a moment more: a
    // program that plays does not end by itself.
    RawRun start(const QList<QByteArray> &arguments);

    QTemporaryDir runtimeDir;
};

void tst_CommandLine::initTestCase()
{
    QVERIFY(runtimeDir.isValid());
    QVERIFY(QFileInfo(QStringLiteral(STEADYTONE_EXE)).isExecutable());
}

QByteArrayList tst_CommandLine::environment(const QByteArrayList &extra) const
{
    const QByteArray dir = runtimeDir.path().toLocal8Bit();
    // The extra entries come first: the program reads the first of a name.
    // TMPDIR marks the run as the test's own.
    return extra
            + QByteArrayList { "TMPDIR=" + qgetenv("TMPDIR"),
                               "XDG_RUNTIME_DIR=" + dir,
                               "HOME=" + dir,
                               "PULSE_SERVER=unix:" + dir + "/none",
                               "PATH=/usr/bin:/bin",
                               "LANG=C.UTF-8",
                               QByteArray("QT_MESSAGE_PATTERN=") + QtMessages::Pattern };
}

RawRun tst_CommandLine::start(const QList<QByteArray> &arguments)
{
    RawRun run = spawnRaw(arguments, environment());
    readUntil(run, QDeadlineTimer(StartAllowanceMs),
              [&run] { return run.specifiedLines().size() >= 3; });
    readUntil(run, QDeadlineTimer(200), [] { return false; });
    endRun(run);
    return run;
}

void tst_CommandLine::settingsLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    // The settings line; none when the program only informs.
    QTest::addColumn<QString>("line");
    // What it prints on standard output, and its exit status, -1 while it plays.
    QTest::addColumn<QString>("output");
    QTest::addColumn<int>("exitCode");
    auto plays = [](const char *name, const QStringList &arguments, const char *line) {
        QTest::newRow(name) << arguments << QString(line) << QString() << -1;
    };
    auto ends = [](const char *name, const QStringList &arguments, const QString &output,
                   int exitCode) {
        QTest::newRow(name) << arguments << QString() << output << exitCode;
    };

    plays("none", QStringList(), "0.02 20");
    plays("frequency", QStringList { "440" }, "0.02 440");
    plays("frequency and volume", QStringList { "440", "0.5" }, "0.5 440");
    plays("fractional frequency", QStringList { "440.5" }, "0.02 20");
    plays("negative frequency", QStringList { "-440" }, "0.02 -440");
    plays("a negative number is no option", QStringList { "-5" }, "0.02 -5");
    plays("volume not a number", QStringList { "440", "abc" }, "0.02 440");
    plays("zeros", QStringList { "0", "0" }, "0.02 20");
    plays("third argument", QStringList { "440", "0.5", "7" }, "0.5 440");
    plays("loud", QStringList { "1000", "1.5" }, "1.5 1000");
    plays("empty strings", QStringList { "", "" }, "0.02 20");
    // Values the tone cannot be: above half the sample rate it would fold back
    // into an audible whistle or play nothing; a negative volume plays nothing.
    plays("half the sample rate", QStringList { "22050" }, "0.02 20");
    plays("just below it", QStringList { "22049" }, "0.02 22049");
    plays("ultrasonic", QStringList { "30000", "0.5" }, "0.5 20");
    plays("ultrasonic, negative", QStringList { "-22050" }, "0.02 20");
    plays("negative volume", QStringList { "440", "-0.5" }, "0.02 440");
    // Options come first, matched exactly; the first argument that is not one
    // starts the values.
    const QString usage = "^(steadytone: [^\n]*\n\n)?"
                          "Usage: steadytone \\[--all \\| --device NAME...\\] "
                          "\\[FREQUENCY \\[VOLUME\\]\\]\n(.|\n)*"
                          "\\(default 20\\)(.|\n)*\\(default 0\\.02\\)(.|\n)*steadytone\\(1\\)";
    ends("--help", QStringList { "--help" }, usage, 0);
    ends("-h", QStringList { "-h", "440" }, usage, 0);
    ends("--version", QStringList { "--version" }, "^steadytone " STEADYTONE_VERSION "\n$", 0);
    ends("--help after another option", QStringList { "--all", "--help" }, usage, 0);
    plays("--help as a value", QStringList { "440", "--help" }, "0.02 440");
    plays("-help", QStringList { "-help" }, "0.02 20");
    plays("--all", QStringList { "--all", "440", "0.5" }, "0.5 440");
    plays("--device", QStringList { "--device", "beta", "--device", "gamma", "440" }, "0.02 440");
    plays("a device named like an option", QStringList { "--device", "--all", "440" }, "0.02 440");
    // What cannot be read is answered on standard error.
    ends("--device without a name", QStringList { "--device" }, usage, 2);
    ends("--all and --device", QStringList { "--all", "--device", "beta" }, usage, 2);
    ends("--list without a server", QStringList { "--list" },
         "^steadytone: no audio server answers\n$", 1);
}

void tst_CommandLine::settingsLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, line);
    QFETCH(QString, output);
    QFETCH(int, exitCode);

    QList<QByteArray> bytes;
    for (const QString &argument : arguments)
        bytes.append(argument.toUtf8());
    const RawRun run = start(bytes);
    QCOMPARE(run.exitCode(), exitCode);
    // A program that fails says why on standard error, and only there.
    const QByteArray printed = exitCode > 0 ? run.written : run.output;
    QVERIFY2(QRegularExpression(output.isEmpty() ? "^$" : output)
                     .match(QString::fromUtf8(printed))
                     .hasMatch(),
             printed.constData());
    if (exitCode > 0)
        QCOMPARE(run.output, QByteArray());
    else if (line.isEmpty())
        QCOMPARE(run.written, QByteArray());
    else
        QCOMPARE(QString::fromUtf8(run.specifiedLines().value(0)), line);
}

void tst_CommandLine::trickyValues_data()
{
    QTest::addColumn<QList<QByteArray>>("arguments");
    QTest::addColumn<QByteArray>("line");

    // What QString's toInt (base 10) and toDouble make of each, with 0, and
    // values the tone cannot be, replaced by the defaults.
    QTest::newRow("nan volume") << QList<QByteArray> { "440", "nan" } << QByteArray("0.02 440");
    QTest::newRow("inf volume") << QList<QByteArray> { "440", "inf" } << QByteArray("0.02 440");
    QTest::newRow("-inf volume") << QList<QByteArray> { "440", "-inf" } << QByteArray("0.02 440");
    QTest::newRow("negative zero volume")
            << QList<QByteArray> { "440", "-0" } << QByteArray("0.02 440");
    QTest::newRow("overflowing volume")
            << QList<QByteArray> { "440", "1e999" } << QByteArray("0.02 440");
    QTest::newRow("subnormal volume")
            << QList<QByteArray> { "440", "1e-320" } << QByteArray("9.99989e-321 440");
    QTest::newRow("hexadecimal frequency") << QList<QByteArray> { "0x10" } << QByteArray("0.02 20");
    QTest::newRow("spaces around both")
            << QList<QByteArray> { " 440 ", "\t0.5\t" } << QByteArray("0.5 440");
    QTest::newRow("plus sign") << QList<QByteArray> { "+440", "+.5e1" } << QByteArray("5 440");
    QTest::newRow("frequency beyond int")
            << QList<QByteArray> { "4294967736" } << QByteArray("0.02 20");
    QTest::newRow("largest int") << QList<QByteArray> { "2147483647" } << QByteArray("0.02 20");
    QTest::newRow("smallest int") << QList<QByteArray> { "-2147483648" } << QByteArray("0.02 20");
    QTest::newRow("exponents") << QList<QByteArray> { "1e3", "1e3" } << QByteArray("1000 20");
    QTest::newRow("decimal comma") << QList<QByteArray> { "440", "0,5" } << QByteArray("0.02 440");
    QTest::newRow("non-UTF-8 bytes")
            << QList<QByteArray> { "\xff\xfe", "\x80" } << QByteArray("0.02 20");
    QTest::newRow("100 kB") << QList<QByteArray> { QByteArray(100 * 1024, '7') }
                            << QByteArray("0.02 20");
}

void tst_CommandLine::trickyValues()
{
    QFETCH(QList<QByteArray>, arguments);
    QFETCH(QByteArray, line);

    const RawRun run = start(arguments);
    const QByteArrayList lines = run.specifiedLines();
    QCOMPARE(lines.value(0), line);
    // It got as far as its first check: with no server, Qt reports a device
    // with no name, and playback moves there.
    QCOMPARE(lines.mid(1), QByteArrayList({ "\"\"", "\"\"" }));
    QVERIFY(!run.exited);
}

void tst_CommandLine::serviceNotifications_data()
{
    QTest::addColumn<bool>("watchdog");
    // A PulseAudio server whose sink the tone plays on, stopped half-way.
    QTest::addColumn<bool>("server");
    QTest::addColumn<bool>("journal");
    QTest::addColumn<QStringList>("statuses");

    QTest::newRow("a service with a watchdog, playing until the server goes")
            << true << true << false
            << QStringList { "Playing 20 Hz at volume 0.02 on alpha",
                             "Playing 20 Hz at volume 0.02 on Alpha speakers",
                             "Waiting for an audio server" };
    QTest::newRow("a service without one, and no server, logging to the journal")
            << false << false << true
            << QStringList { "Waiting for an output device", "Waiting for an audio server" };
}

void tst_CommandLine::serviceNotifications()
{
    QFETCH(bool, watchdog);
    QFETCH(bool, server);
    QFETCH(bool, journal);
    QFETCH(QStringList, statuses);

    // Stands in for systemd: a datagram socket named by NOTIFY_SOCKET.
    const QByteArray path = runtimeDir.filePath(QStringLiteral("notify")).toLocal8Bit();
    ::unlink(path.constData());
    const int socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    QVERIFY(socket >= 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, path.constData(), sizeof address.sun_path);
    QVERIFY(::bind(socket, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);

    AudioServer pulse(AudioServer::PulseAudio);
    QByteArrayList extra { "NOTIFY_SOCKET=" + path };
    if (watchdog)
        extra.append("WATCHDOG_USEC=30000000");
    if (server) {
        QVERIFY2(pulse.start({ { "alpha", 44100, 1, "Alpha speakers" } }),
                 qPrintable(pulse.errorString()));
        extra.append("PULSE_SERVER=" + pulse.address().toLocal8Bit());
    }
    QElapsedTimer clock;
    clock.start();
    RawRun run = spawnRaw({}, environment(extra), STEADYTONE_EXE, journal);
    QVERIFY(run.pid > 0);
    // Two check intervals, each of which pings the watchdog if there is one
    // and says nothing else; then the server goes, which is news.
    const int lookMs = StartAllowanceMs + 2 * (AudioOut::CheckIntervalMs + TimerSlackMs);
    QList<QPair<qint64, QByteArray>> received;
    auto receive = [&](int untilMs) {
        while (clock.elapsed() < untilMs) {
            pollfd ready { socket, POLLIN, 0 };
            if (::poll(&ready, 1, 100) <= 0)
                continue;
            char buffer[512];
            const ssize_t got = ::recv(socket, buffer, sizeof buffer, 0);
            for (const QByteArray &field :
                 QByteArray(buffer, int(qMax<ssize_t>(got, 0))).split('\n'))
                received.append({ clock.elapsed(), field });
        }
    };
    receive(lookMs);
    const qint64 serverGoneAt = clock.elapsed();
    if (server) {
        pulse.stop();
        receive(lookMs + PulseEvents::ReconnectMs + PollAllowanceMs);
    }
    endRun(run);
    ::close(socket);

    QByteArrayList fields;
    QList<qint64> pings;
    QStringList told;
    for (const auto &field : received) {
        fields.append(field.second);
        if (field.second == "WATCHDOG=1")
            pings.append(field.first);
        if (field.second.startsWith("STATUS="))
            told.append(QString::fromUtf8(field.second.mid(7)));
    }
    // Ready once its first check has run, with what it does; a new status
    // only when that changes, at start and when the server goes, and none at
    // the checks in between.
    QCOMPARE(fields.value(0), QByteArray("READY=1"));
    QVERIFY(received.first().first <= StartAllowanceMs);
    QVERIFY2(told == statuses, qPrintable(told.join(" / ")));
    for (const auto &field : received) {
        if (field.second.startsWith("STATUS="))
            QVERIFY(field.first <= StartAllowanceMs || (server && field.first >= serverGoneAt));
    }
    // A ping with every check: no gap longer than a check interval.
    QCOMPARE(pings.isEmpty(), !watchdog);
    if (watchdog)
        QVERIFY(pings.size() >= 2);
    for (int i = 1; i < pings.size(); ++i)
        QVERIFY(pings.at(i) - pings.at(i - 1)
                <= AudioOut::CheckIntervalMs + TimerSlackMs + PollAllowanceMs);

    // In the journal, every line carries its syslog priority.
    const QByteArrayList lines = run.written.split('\n');
    for (const QByteArray &line : lines.mid(0, lines.size() - 1))
        QCOMPARE(QRegularExpression("^<[0-7]>").match(QString::fromUtf8(line)).hasMatch(), journal);
    if (journal) {
        QVERIFY(lines.contains("<7>default|debug|0.02 20"));
        QVERIFY(lines.contains("<4>steadytone|warning|No audio server answers; waiting for one"));
    }
}

void tst_CommandLine::guard_data()
{
    QTest::addColumn<QString>("fault");
    // What the program must do: start afresh in place, end with status 1
    // because it cannot, or play on.
    QTest::addColumn<QString>("outcome");

    // Qt's PulseAudio output can wait for good for a stream that failed as
    // it was created; the simulated audio system blocks every start.
    QTest::newRow("a start that blocks") << "block"
                                         << "restart";
    QTest::newRow("a start that blocks, and no executable to restart") << "block deleted"
                                                                       << "exit";
    QTest::newRow("stopped for 30 s") << "stop"
                                      << "play";
    QTest::newRow("a busy machine") << "busy"
                                    << "play";
}

void tst_CommandLine::guard()
{
    QFETCH(QString, fault);
    QFETCH(QString, outcome);

    QByteArray program(STEADYTONE_EXE);
    if (fault.contains("deleted")) {
        program = runtimeDir.filePath(QStringLiteral("steadytone")).toLocal8Bit();
        QFile::remove(QString::fromLocal8Bit(program));
        QVERIFY(QFile::copy(QStringLiteral(STEADYTONE_EXE), QString::fromLocal8Bit(program)));
    }
    RawRun run = spawnRaw(
            {},
            environment({ "QT_PLUGIN_PATH=" FAKEAUDIO_PLUGIN_DIR, "FAKEAUDIO_DEVICES=alpha",
                          QByteArray("FAKEAUDIO_BLOCK_START=")
                                  + (fault.startsWith("block") ? "1" : "0") }),
            program);
    QVERIFY(run.pid > 0);
    auto settingsLines = [&run] { return run.specifiedLines().count("0.02 20"); };
    readUntil(run, QDeadlineTimer(StartAllowanceMs), [&] { return settingsLines() == 1; });
    QCOMPARE(settingsLines(), 1);
    if (fault.contains("deleted"))
        QVERIFY(QFile::remove(QString::fromLocal8Bit(program)));

    // The guard acts after LoopGuard::MissedTicks check intervals without a
    // check; the program has that long and one interval more.
    const int boundMs = (LoopGuard::MissedTicks + 1) * AudioOut::CheckIntervalMs;
    std::vector<pid_t> busy;
    if (fault == "stop") {
        ::kill(run.pid, SIGSTOP);
        QThread::sleep(30);
        ::kill(run.pid, SIGCONT);
    } else if (fault == "busy") {
        for (int i = 0; i < 2 * QThread::idealThreadCount(); ++i) {
            const pid_t pid = fork();
            if (pid == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                for (volatile quint64 spin = 0;; spin = spin + 1) { }
            }
            busy.push_back(pid);
        }
    }
    QElapsedTimer clock;
    clock.start();
    readUntil(run, QDeadlineTimer(boundMs), [&] { return settingsLines() > 1; });
    for (const pid_t pid : busy) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    endRun(run);
    qInfo("after %lld ms:\n%s", clock.elapsed(), run.written.constData());

    if (outcome == "restart") {
        // The same process, started afresh: its settings line again.
        QVERIFY(!run.exited);
        QCOMPARE(settingsLines(), 2);
        QVERIFY(run.written.contains(
                "steadytone|warning|The event loop is stuck: starting afresh in place"));
    } else if (outcome == "exit") {
        QCOMPARE(run.exitCode(), 1);
        QVERIFY(run.written.contains("steadytone|critical|Could not start " + program + " afresh"));
    } else {
        QVERIFY(!run.exited);
        QCOMPARE(settingsLines(), 1);
        QVERIFY(!run.written.contains("afresh"));
    }
}

QTEST_GUILESS_MAIN(tst_CommandLine)
#include "tst_commandline.moc"
