#include "audioout.h"
#include "loopguard.h"

#include "qtmessages.h"

#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
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

// One run of the executable with raw argument bytes, which QProcess cannot
// pass (it encodes QStrings); its standard error goes to a pipe.
struct RawRun
{
    pid_t pid = -1;
    int fd = -1;
    QByteArray written;
    bool closed = false;
};

RawRun spawnRaw(const QList<QByteArray> &arguments, char *const *environment,
                QByteArray program = STEADYTONE_EXE)
{
    RawRun run;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return run;
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
        dup2(pipeFds[1], STDERR_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        execve(program.constData(), argv.data(), environment);
        _exit(127);
    }
    ::close(pipeFds[1]);
    run.fd = pipeFds[0];
    return run;
}

// Reads what the run writes until done() holds, the deadline passes or the
// run closes its end.
void readUntil(RawRun &run, const QDeadlineTimer &deadline, const std::function<bool()> &done)
{
    while (run.fd >= 0 && !run.closed && !done() && !deadline.hasExpired()) {
        pollfd ready { run.fd, POLLIN, 0 };
        if (::poll(&ready, 1, 100) <= 0)
            continue;
        char buffer[4096];
        const ssize_t got = ::read(run.fd, buffer, sizeof buffer);
        if (got > 0)
            run.written.append(buffer, int(got));
        else
            run.closed = true;
    }
}

// Ends a run, and reaps it.
void endRun(const RawRun &run)
{
    if (run.pid > 0) {
        ::kill(run.pid, SIGKILL);
        ::waitpid(run.pid, nullptr, 0);
    }
    if (run.fd >= 0)
        ::close(run.fd);
}

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
    // name lines of its first check, and returns what it wrote by then; alive
    // tells whether it was still running a moment later, when it was ended.
    QByteArrayList startLines(const QList<QByteArray> &arguments, bool *alive);

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
    // Qt's own messages are marked, to tell them from the program's lines.
    // TMPDIR marks the run as the test's own.
    return QByteArrayList { "TMPDIR=" + qgetenv("TMPDIR"),
                            "XDG_RUNTIME_DIR=" + dir,
                            "HOME=" + dir,
                            "PULSE_SERVER=unix:" + dir + "/none",
                            "PATH=/usr/bin:/bin",
                            "LANG=C.UTF-8",
                            QByteArray("QT_MESSAGE_PATTERN=") + QtMessages::Pattern }
    + extra;
}

void tst_CommandLine::settingsLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("line");

    QTest::newRow("none") << QStringList() << "0.02 20";
    QTest::newRow("frequency") << QStringList { "440" } << "0.02 440";
    QTest::newRow("frequency and volume") << QStringList { "440", "0.5" } << "0.5 440";
    QTest::newRow("fractional frequency") << QStringList { "440.5" } << "0.02 20";
    QTest::newRow("negative frequency") << QStringList { "-440" } << "0.02 -440";
    QTest::newRow("volume not a number") << QStringList { "440", "abc" } << "0.02 440";
    QTest::newRow("zeros") << QStringList { "0", "0" } << "0.02 20";
    QTest::newRow("third argument") << QStringList { "440", "0.5", "7" } << "0.5 440";
    QTest::newRow("loud") << QStringList { "1000", "1.5" } << "1.5 1000";
    QTest::newRow("empty strings") << QStringList { "", "" } << "0.02 20";
}

void tst_CommandLine::settingsLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, line);

    QList<QByteArray> bytes;
    for (const QString &argument : arguments)
        bytes.append(argument.toUtf8());
    bool alive = false;
    const QByteArrayList lines = startLines(bytes, &alive);
    QCOMPARE(QString::fromUtf8(lines.value(0)), line);
    QVERIFY(alive);
}

QByteArrayList tst_CommandLine::startLines(const QList<QByteArray> &arguments, bool *alive)
{
    const Environment env(environment());
    RawRun run = spawnRaw(arguments, env.data());
    QDeadlineTimer deadline(StartAllowanceMs);
    auto programLines = [&run] {
        QByteArrayList lines = run.written.split('\n');
        lines.removeLast(); // the unfinished line, if any
        for (int i = lines.size() - 1; i >= 0; --i) {
            if (lines.at(i).startsWith(QtMessages::Mark))
                lines.removeAt(i);
        }
        return lines;
    };
    readUntil(run, deadline, [&] { return programLines().size() >= 3; });
    // Nothing in the program ends it.
    QThread::msleep(200);
    *alive = run.pid > 0 && ::waitpid(run.pid, nullptr, WNOHANG) == 0;
    endRun(run);
    return programLines();
}

void tst_CommandLine::trickyValues_data()
{
    QTest::addColumn<QList<QByteArray>>("arguments");
    QTest::addColumn<QByteArray>("line");

    // What QString's toInt (base 10) and toDouble make of each, with 0
    // replaced by the defaults.
    QTest::newRow("nan volume") << QList<QByteArray> { "440", "nan" } << QByteArray("nan 440");
    QTest::newRow("inf volume") << QList<QByteArray> { "440", "inf" } << QByteArray("inf 440");
    QTest::newRow("-inf volume") << QList<QByteArray> { "440", "-inf" } << QByteArray("-inf 440");
    QTest::newRow("negative zero volume")
            << QList<QByteArray> { "440", "-0" } << QByteArray("0.02 440");
    QTest::newRow("overflowing volume")
            << QList<QByteArray> { "440", "1e999" } << QByteArray("inf 440");
    QTest::newRow("subnormal volume")
            << QList<QByteArray> { "440", "1e-320" } << QByteArray("9.99989e-321 440");
    QTest::newRow("hexadecimal frequency") << QList<QByteArray> { "0x10" } << QByteArray("0.02 20");
    QTest::newRow("spaces around both")
            << QList<QByteArray> { " 440 ", "\t0.5\t" } << QByteArray("0.5 440");
    QTest::newRow("plus sign") << QList<QByteArray> { "+440", "+.5e1" } << QByteArray("5 440");
    QTest::newRow("frequency beyond int")
            << QList<QByteArray> { "4294967736" } << QByteArray("0.02 20");
    QTest::newRow("largest int") << QList<QByteArray> { "2147483647" }
                                 << QByteArray("0.02 2147483647");
    QTest::newRow("smallest int") << QList<QByteArray> { "-2147483648" }
                                  << QByteArray("0.02 -2147483648");
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

    bool alive = false;
    const QByteArrayList lines = startLines(arguments, &alive);
    QCOMPARE(lines.value(0), line);
    // It got as far as its first check: with no server, Qt reports a device
    // with no name, and playback moves there.
    QCOMPARE(lines.mid(1), QByteArrayList({ "\"\"", "\"\"" }));
    QVERIFY(alive);
}

void tst_CommandLine::serviceNotifications_data()
{
    QTest::addColumn<QByteArrayList>("extra");
    QTest::addColumn<int>("pings");

    QTest::newRow("a service with a watchdog") << QByteArrayList { "WATCHDOG_USEC=30000000" } << 2;
    QTest::newRow("a service without one") << QByteArrayList() << 0;
}

void tst_CommandLine::serviceNotifications()
{
    QFETCH(QByteArrayList, extra);
    QFETCH(int, pings);

    // Stands in for systemd: a datagram socket named by NOTIFY_SOCKET.
    const QByteArray path = runtimeDir.filePath(QStringLiteral("notify")).toLocal8Bit();
    ::unlink(path.constData());
    const int socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    QVERIFY(socket >= 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, path.constData(), sizeof address.sun_path);
    QVERIFY(::bind(socket, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);

    const Environment env(environment(extra + QByteArrayList { "NOTIFY_SOCKET=" + path }));
    QElapsedTimer clock;
    clock.start();
    const RawRun run = spawnRaw({}, env.data());
    QVERIFY(run.pid > 0);
    // Two check intervals with pings; without, the whole of one, so that a
    // ping that should not come would be seen.
    const int lookMs =
            StartAllowanceMs + qMax(pings, 1) * (AudioOut::CheckIntervalMs + TimerSlackMs);
    QList<QPair<qint64, QByteArray>> received;
    while (clock.elapsed() < lookMs && (pings == 0 || received.size() < 1 + pings)) {
        pollfd ready { socket, POLLIN, 0 };
        if (::poll(&ready, 1, 100) <= 0)
            continue;
        char buffer[256];
        const ssize_t got = ::recv(socket, buffer, sizeof buffer, 0);
        if (got > 0)
            received.append({ clock.elapsed(), QByteArray(buffer, int(got)) });
    }
    endRun(run);
    ::close(socket);

    // Ready once its first check has run, then a ping with every check.
    QByteArrayList messages;
    for (const auto &message : received)
        messages.append(message.second);
    QByteArrayList expected { "READY=1" };
    for (int i = 0; i < pings; ++i)
        expected.append("WATCHDOG=1");
    QCOMPARE(messages, expected);
    QVERIFY(received.first().first <= StartAllowanceMs);
    for (int i = 1; i < received.size(); ++i) {
        const qint64 gap = received.at(i).first - received.at(i - 1).first;
        QVERIFY2(qAbs(gap - AudioOut::CheckIntervalMs) <= TimerSlackMs + PollAllowanceMs,
                 qPrintable(QString::number(gap)));
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
    const Environment env(environment(
            { "QT_PLUGIN_PATH=" FAKEAUDIO_PLUGIN_DIR, "FAKEAUDIO_DEVICES=alpha",
              QByteArray("FAKEAUDIO_BLOCK_START=") + (fault.startsWith("block") ? "1" : "0") }));
    RawRun run = spawnRaw({}, env.data(), program);
    QVERIFY(run.pid > 0);
    auto settingsLines = [&run] {
        return run.written.count("\n0.02 20\n") + run.written.startsWith("0.02 20\n");
    };
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
    int status = 0;
    bool exited = false;
    readUntil(run, QDeadlineTimer(boundMs), [&] {
        exited = exited || ::waitpid(run.pid, &status, WNOHANG) == run.pid;
        return settingsLines() > 1 || exited;
    });
    // A run that closed its end is ending.
    for (QDeadlineTimer ending(1000); run.closed && !exited && !ending.hasExpired();
         QThread::msleep(10))
        exited = ::waitpid(run.pid, &status, WNOHANG) == run.pid;
    for (const pid_t pid : busy) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    const QByteArray written = run.written;
    if (exited)
        run.pid = -1;
    endRun(run);
    qInfo("after %lld ms:\n%s", clock.elapsed(), written.constData());

    if (outcome == "restart") {
        // The same process, started afresh: its settings line again.
        QVERIFY(!exited);
        QCOMPARE(settingsLines(), 2);
        QVERIFY(written.contains("The event loop is stuck: starting afresh in place"));
    } else if (outcome == "exit") {
        QVERIFY(exited);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 1);
        QVERIFY(written.contains("Could not start " + program + " afresh"));
    } else {
        QVERIFY(!exited);
        QCOMPARE(settingsLines(), 1);
        QVERIFY(!written.contains("afresh"));
    }
}

QTEST_GUILESS_MAIN(tst_CommandLine)
#include "tst_commandline.moc"
