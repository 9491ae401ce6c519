#include "audioout.h"
#include "audioserver.h"
#include "instancelock.h"
#include "notifysocket.h"
#include "freshstart.h"
#include "player.h"
#include "pulseevents.h"

#include "qtmessages.h"

#include <QtTest>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Qt's default coarse timers may fire up to 5 % late.
constexpr int TimerSlackMs = AudioOut::CheckIntervalMs / 20;
// Starting the program and its first check, on a loaded two-core machine.
constexpr int StartAllowanceMs = 2000;
// How late the test may see a message: it polls every 100 ms, and a busy
// machine may schedule it later still.
constexpr int PollAllowanceMs = 300;

} // namespace

// The real executable: what it says and how it ends, as a process.
class tst_CommandLine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void commandLine_data();
    void commandLine();
    void serviceNotifications_data();
    void serviceNotifications();
    void guard_data();
    void guard();
    void oneOfManyPlays();

private:
    // The environment of a run: no audio server is reachable.
    QProcessEnvironment environment() const;

    QTemporaryDir runtimeDir;
};

void tst_CommandLine::initTestCase()
{
    QVERIFY(runtimeDir.isValid());
    QVERIFY(QFileInfo(QStringLiteral(STEADYTONE_EXE)).isExecutable());
}

QProcessEnvironment tst_CommandLine::environment() const
{
    QProcessEnvironment env;
    const QString dir = runtimeDir.path();
    // TMPDIR marks the run as the test's own.
    env.insert(QStringLiteral("TMPDIR"), qEnvironmentVariable("TMPDIR"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir);
    env.insert(QStringLiteral("HOME"), dir);
    env.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:") + dir + "/none");
    env.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
    env.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
    return env;
}

void tst_CommandLine::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    // What it prints on standard output, as a pattern.
    QTest::addColumn<QString>("output");
    // Its lines on standard error; LOCK stands for where the lock is kept.
    QTest::addColumn<QStringList>("lines");
    // What is found where the lock is kept: "" nothing, "directory", "link",
    // "another's" a file of another user's, "no directory" when the runtime
    // directory itself is missing, or "no runtime directory" when none is
    // set and the program's own directory in its place is a link.
    QTest::addColumn<QString>("lock");

    const QString usage = "^Usage: steadytone \\[--all \\| --device NAME...\\] "
                          "\\[--pause-when-idle\\] \\[--\\] \\[FREQUENCY \\[VOLUME\\]\\]\n(.|\n)*"
                          "\\(default 20\\)(.|\n)*\\(default 0\\.02\\)(.|\n)*steadytone\\(1\\)";
    QTest::newRow("--help") << QStringList { "--help" } << 0 << usage << QStringList() << "";
    QTest::newRow("--version") << QStringList { "--version" } << 0
                               << "^steadytone " STEADYTONE_VERSION "\n$" << QStringList() << "";
    // An option echoed as it was typed, but for what would end the line.
    QTest::newRow("an unknown option")
            << QStringList { "--devcie\nX", "beta" } << 2 << "^$"
            << QStringList { "steadytone: unknown option \"--devcie\\nX\"",
                             "Try 'steadytone --help'" }
            << "";
    QTest::newRow("--list without a server")
            << QStringList { "--list" } << 1 << "^$"
            << QStringList { "steadytone: no audio server answers" } << "";
    // A lock that cannot be had: nothing plays, with a status of its own.
    const QString unusable = "steadytone: cannot make sure that no other steadytone plays for "
                             "this user, so none plays: LOCK";
    for (const auto &[lock, why] : QList<QPair<QString, QString>> {
                 { "directory", " is a directory; remove it" },
                 { "link", " is a link; remove it" },
                 { "another's",
                   " belongs to another user, as after a start with sudo; remove it: sudo rm "
                   "LOCK" },
                 { "no directory", ": No such file or directory" },
                 { "no runtime directory",
                   " is not a directory of this user's alone; remove it" } })
        QTest::addRow("the lock: %s", qPrintable(lock))
                << QStringList() << 3 << "^$" << QStringList { unusable + why } << lock;
}

void tst_CommandLine::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QFETCH(QStringList, lines);
    QFETCH(QString, lock);

    QProcessEnvironment env = environment();
    const QString path = runtimeDir.filePath(QStringLiteral("steadytone.lock"));
    const QByteArray file = QFile::encodeName(path);
    if (lock == "directory")
        QVERIFY(QDir().mkdir(path));
    else if (lock == "link")
        QVERIFY(QFile::link(runtimeDir.filePath("elsewhere"), path));
    else if (lock == "another's")
        QVERIFY(QFile(path).open(QIODevice::WriteOnly)
                && ::chown(file.constData(), 65534, 65534) == 0);
    else if (lock == "no directory")
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir.filePath("gone"));
    const QString own = runtimeDir.filePath(QStringLiteral("steadytone-%1").arg(::getuid()));
    if (lock == "no runtime directory") {
        env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        env.insert(QStringLiteral("TMPDIR"), runtimeDir.path());
        QVERIFY(QFile::link(runtimeDir.filePath("elsewhere"), own));
    }
    const QString place = lock == "no directory" ? runtimeDir.filePath("gone/steadytone.lock")
            : lock == "no runtime directory"     ? own
                                                 : path;
    ChildProcess run;
    run.setProcessEnvironment(env);
    run.start(QStringLiteral(STEADYTONE_EXE), arguments);
    const bool ended = run.waitForFinished(StartAllowanceMs + PulseEvents::ReconnectMs);
    ::unlink(file.constData());
    ::rmdir(file.constData());
    QFile::remove(own);
    QVERIFY(ended);
    QCOMPARE(run.exitCode(), exitCode);
    QCOMPARE(QString::fromUtf8(run.readAllStandardError()).split('\n', Qt::SkipEmptyParts),
             lines.replaceInStrings("LOCK", place));
    const QString printed = QString::fromUtf8(run.readAllStandardOutput());
    QVERIFY2(QRegularExpression(output).match(printed).hasMatch(), qPrintable(printed));
}

void tst_CommandLine::serviceNotifications_data()
{
    // Each plays on a PulseAudio server's sink until the server goes.
    QTest::addColumn<bool>("watchdog");

    QTest::newRow("a service with a watchdog") << true;
    QTest::newRow("a service without one, logging to the journal") << false;
}

void tst_CommandLine::serviceNotifications()
{
    QFETCH(bool, watchdog);
    const QStringList statuses { "Playing 20 Hz at volume 0.02 on Alpha speakers (alpha)",
                                 "Waiting for an audio server" };

    NotifySocket notify;
    QVERIFY(notify.isValid());
    AudioServer pulse(AudioServer::PulseAudio);
    QProcessEnvironment env = environment();
    env.insert(QStringLiteral("NOTIFY_SOCKET"), notify.path());
    if (watchdog)
        env.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("30000000"));
    QVERIFY2(pulse.start({ { "alpha", 44100, 1, "Alpha speakers" } }),
             qPrintable(pulse.errorString()));
    env.insert(QStringLiteral("PULSE_SERVER"), pulse.address());
    // Without a watchdog, standard error is the journal's stream: a file
    // whose device and inode JOURNAL_STREAM names.
    const QString journal = runtimeDir.filePath(QStringLiteral("journal"));
    QFile::remove(journal);
    QVERIFY(QFile(journal).open(QIODevice::WriteOnly));
    struct stat stream
    { };
    QVERIFY(::stat(QFile::encodeName(journal).constData(), &stream) == 0);
    if (!watchdog)
        env.insert(QStringLiteral("JOURNAL_STREAM"),
                   QStringLiteral("%1:%2").arg(quint64(stream.st_dev)).arg(quint64(stream.st_ino)));
    ChildProcess run;
    run.setProcessEnvironment(env);
    run.setStandardErrorFile(journal, QIODevice::Append);
    // Times from the start of the program on.
    const qint64 startMs = notify.elapsed();
    // A volume it cannot have, which it says it takes the default for.
    run.start(QStringLiteral(STEADYTONE_EXE), { QStringLiteral("20"), QStringLiteral("2") });
    QVERIFY(run.waitForStarted());
    // Ready, and, with a watchdog, a regular check, a check interval after
    // the start, each check pinging it and saying nothing else; then the
    // server goes, which is news.
    const int lookMs = StartAllowanceMs + (watchdog ? AudioOut::CheckIntervalMs + TimerSlackMs : 0);
    auto regularPing = [&] {
        for (const NotifySocket::Field &field : notify.fields()) {
            if (field.text == "WATCHDOG=1"
                && field.atMs - startMs >= AudioOut::CheckIntervalMs - TimerSlackMs)
                return true;
        }
        return !watchdog;
    };
    QVERIFY(QTest::qWaitFor([&] { return !notify.readyStatus().isEmpty() && regularPing(); },
                            lookMs));
    const qint64 serverGoneAt = notify.elapsed() - startMs;
    pulse.stop();
    QTest::qWait(PulseEvents::ReconnectMs + PollAllowanceMs);
    run.terminateAndWait();

    QByteArrayList fields;
    QList<qint64> pings;
    qint64 readyAtMs = -1;
    for (const NotifySocket::Field &field : notify.fields()) {
        if (field.text == "WATCHDOG=1") {
            pings.append(field.atMs - startMs);
            continue;
        }
        fields.append(field.text);
        if (field.text == "READY=1" && readyAtMs < 0)
            readyAtMs = field.atMs - startMs;
    }
    // Ready once what its first check started is settled, with what it
    // does; a new status only when that changes, and none at the checks in
    // between. The watchdog may hear of it before.
    QCOMPARE(fields.value(0), QByteArray("READY=1"));
    QVERIFY(readyAtMs >= 0 && readyAtMs <= StartAllowanceMs);
    QVERIFY2(notify.statuses() == statuses, qPrintable(notify.statuses().join(" / ")));
    for (const NotifySocket::Field &field : notify.fields()) {
        if (field.text.startsWith("STATUS="))
            QVERIFY(field.atMs - startMs <= StartAllowanceMs
                    || field.atMs - startMs >= serverGoneAt);
    }
    // A ping with every check: no gap longer than a check interval.
    QCOMPARE(pings.isEmpty(), !watchdog);
    if (watchdog)
        QVERIFY(pings.size() >= 2);
    for (int i = 1; i < pings.size(); ++i)
        QVERIFY(pings.at(i) - pings.at(i - 1)
                <= AudioOut::CheckIntervalMs + TimerSlackMs + PollAllowanceMs);

    // In the journal, every line carries its syslog priority: what the
    // program does is a notice, a tone that cannot play a warning.
    QFile written(journal);
    QVERIFY(written.open(QIODevice::ReadOnly));
    const QByteArrayList lines = written.readAll().split('\n');
    for (const QByteArray &line : lines.mid(0, lines.size() - 1))
        QCOMPARE(QRegularExpression("^<[0-7]>").match(QString::fromUtf8(line)).hasMatch(),
                 !watchdog);
    if (!watchdog) {
        QVERIFY(lines.contains("<7>0.02 20"));
        QVERIFY(lines.contains("<5>steadytone: The volume 2 is outside 0 to 1; playing at 0.02"));
        QVERIFY(lines.contains("<5>steadytone: Playing 20 Hz at volume 0.02 on Alpha speakers "
                               "(alpha)"));
        QVERIFY(lines.contains("<4>steadytone: No audio server answers; waiting for one"));
    }
}

void tst_CommandLine::guard_data()
{
    QTest::addColumn<bool>("executable");

    // Qt's PulseAudio output can wait for good for a stream that failed as
    // it was created; the simulated audio system blocks every start.
    QTest::newRow("a start that blocks") << true;
    QTest::newRow("a start that blocks, and no executable to restart") << false;
}

void tst_CommandLine::guard()
{
    QFETCH(bool, executable);

    QString program = QStringLiteral(STEADYTONE_EXE);
    if (!executable) {
        program = runtimeDir.filePath(QStringLiteral("steadytone"));
        QFile::remove(program);
        QVERIFY(QFile::copy(QStringLiteral(STEADYTONE_EXE), program));
    }
    QProcessEnvironment env = environment();
    env.insert(QStringLiteral("QT_PLUGIN_PATH"), QStringLiteral(FAKEAUDIO_PLUGIN_DIR));
    env.insert(QStringLiteral("FAKEAUDIO_DEVICES"), QStringLiteral("alpha"));
    env.insert(QStringLiteral("FAKEAUDIO_BLOCK_START"), QStringLiteral("1"));
    Player run(env, {});
    run.setProgram(program);
    QVERIFY(run.play());
    if (!executable)
        QVERIFY(QFile::remove(program));

    // The first check waits for the server's state, a second at the most;
    // its start blocks, and the guard acts StartLimitMs later.
    QElapsedTimer clock;
    clock.start();
    const int boundMs = AudioOut::FirstStateWaitMs + FreshStart::StartLimitMs + StartAllowanceMs;
    auto settingsLines = [&run] { return run.log().count("0.02 20"); };
    if (executable) {
        // Meanwhile another program tries for the claim every millisecond:
        // it must not find it free while the process starts afresh.
        std::atomic<bool> looking { true };
        std::atomic<int> found { 0 };
        std::thread rival([&] {
            const QByteArray lock = QFile::encodeName(runtimeDir.filePath("steadytone.lock"));
            while (looking) {
                const int fd = ::open(lock.constData(), O_RDWR | O_CLOEXEC);
                if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
                    ++found;
                if (fd >= 0)
                    ::close(fd);
                QThread::msleep(1);
            }
        });
        // The new image has the claim before it writes its settings line.
        const bool restarted = QTest::qWaitFor([&] { return settingsLines() == 2; }, boundMs);
        looking = false;
        rival.join();
        QVERIFY(restarted);
        QCOMPARE(found.load(), 0);
        qInfo("started afresh after %lld ms", clock.elapsed());
        // The same process, started afresh, says why.
        QCOMPARE(run.state(), QProcess::Running);
        auto said = [&run] {
            QStringList lines;
            for (const Player::Line &line : run.accountLines())
                lines << line.type + ": " + line.text;
            return lines;
        };
        QTRY_VERIFY2(said().contains("info: Started afresh in place: An output's start has not "
                                     "returned for 2 s"),
                     qPrintable(said().join('\n')));
        // The new image holds the claim the old one had: a second program
        // finds it and ends.
        ChildProcess second;
        second.setProcessEnvironment(env);
        second.start(program, QStringList());
        QVERIFY(second.waitForFinished(StartAllowanceMs));
        QCOMPARE(second.exitCode(), 1);
        QVERIFY(second.readAllStandardError().contains(
                QStringLiteral("as process %1:").arg(run.processId()).toUtf8()));
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(run.state(), QProcess::NotRunning, boundMs);
        QCOMPARE(run.exitCode(), 1);
        const QList<Player::Line> said = run.accountLines();
        QVERIFY(!said.isEmpty());
        QCOMPARE(said.constLast().type, QStringLiteral("critical"));
        QVERIFY(said.constLast().text.startsWith("Could not start " + program + " afresh"));
    }
}

void tst_CommandLine::oneOfManyPlays()
{
    // Twenty started at once: one plays, and every other ends naming it.
    QProcessEnvironment env = environment();
    env.insert(QStringLiteral("QT_PLUGIN_PATH"), QStringLiteral(FAKEAUDIO_PLUGIN_DIR));
    env.insert(QStringLiteral("FAKEAUDIO_DEVICES"), QStringLiteral("alpha"));
    std::vector<std::unique_ptr<ChildProcess>> runs;
    for (int i = 0; i < 20; ++i) {
        runs.push_back(std::make_unique<ChildProcess>());
        runs.back()->setProcessEnvironment(env);
        runs.back()->start(QStringLiteral(STEADYTONE_EXE), QStringList());
    }
    auto ended = [&runs] {
        return std::count_if(runs.begin(), runs.end(),
                             [](const auto &run) { return run->state() == QProcess::NotRunning; });
    };
    QTRY_COMPARE_WITH_TIMEOUT(ended(), 19L, StartAllowanceMs + InstanceLock::HolderWaitMs);
    const auto playing = std::find_if(runs.begin(), runs.end(), [](const auto &run) {
        return run->state() == QProcess::Running;
    });
    QVERIFY(playing != runs.end());
    const QString said =
            QStringLiteral("steadytone: another steadytone already plays for this user, "
                           "as process %1: systemctl --user status steadytone shows it; "
                           "systemctl --user stop steadytone, or kill %1, stops it\n")
                    .arg((*playing)->processId());
    for (const auto &run : runs) {
        if (run != *playing) {
            QCOMPARE(run->exitCode(), 1);
            QCOMPARE(QString::fromUtf8(run->readAllStandardError()), said);
        }
    }
}

QTEST_GUILESS_MAIN(tst_CommandLine)
#include "tst_commandline.moc"
