#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

namespace {

// One run of the executable with raw argument bytes, which QProcess cannot
// pass (it encodes QStrings); its standard error goes to a pipe.
struct RawRun
{
    pid_t pid = -1;
    int fd = -1;
    QByteArray written;
    bool closed = false;
};

RawRun spawnRaw(const QList<QByteArray> &arguments, char *const *environment)
{
    RawRun run;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char *> argv;
    QByteArray program(STEADYTONE_EXE);
    argv.push_back(program.data());
    QList<QByteArray> copies = arguments;
    for (QByteArray &argument : copies)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    if (posix_spawn(&run.pid, program.constData(), &actions, nullptr, argv.data(), environment)
        != 0)
        run.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    run.fd = pipeFds[0];
    return run;
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
    void fuzzedArguments();

private:
    // Runs the executable once per argument vector, several at a time, and
    // returns each run's first line; alive tells whether the run was still
    // going aliveAfterMs after writing it, when the test ended it.
    QList<QByteArray> firstLines(const QList<QList<QByteArray>> &vectors, QList<bool> *alive,
                                 int aliveAfterMs = 20);

    QTemporaryDir runtimeDir;
};

void tst_CommandLine::initTestCase()
{
    QVERIFY(runtimeDir.isValid());
    QVERIFY(QFileInfo(QStringLiteral(STEADYTONE_EXE)).isExecutable());
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
    QList<bool> alive;
    // A longer look than the fuzz test's: nothing in the program ends it.
    const QList<QByteArray> lines = firstLines({ bytes }, &alive, 200);
    QCOMPARE(QString::fromUtf8(lines.value(0)), line);
    QVERIFY(alive.value(0));
}

QList<QByteArray> tst_CommandLine::firstLines(const QList<QList<QByteArray>> &vectors,
                                              QList<bool> *alive, int aliveAfterMs)
{
    // No reachable audio server: each run gets no further than its first line.
    QList<QByteArray> environment = {
        "XDG_RUNTIME_DIR=" + runtimeDir.path().toLocal8Bit(),
        "HOME=" + runtimeDir.path().toLocal8Bit(),
        "PULSE_SERVER=unix:" + runtimeDir.path().toLocal8Bit() + "/none",
        "PATH=/usr/bin:/bin",
        "LANG=C.UTF-8",
    };
    std::vector<char *> envp;
    for (QByteArray &entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    constexpr int Batch = 16;
    QList<QByteArray> lines;
    for (int first = 0; first < vectors.size(); first += Batch) {
        QList<RawRun> runs;
        for (int i = first; i < qMin(first + Batch, int(vectors.size())); ++i)
            runs.append(spawnRaw(vectors.at(i), envp.data()));

        QDeadlineTimer deadline(10000);
        for (;;) {
            std::vector<pollfd> waiting;
            for (const RawRun &run : runs) {
                if (run.fd >= 0 && !run.closed && !run.written.contains('\n'))
                    waiting.push_back({ run.fd, POLLIN, 0 });
            }
            if (waiting.empty() || deadline.hasExpired())
                break;
            ::poll(waiting.data(), waiting.size(), 100);
            for (const pollfd &ready : waiting) {
                if (!(ready.revents & (POLLIN | POLLHUP)))
                    continue;
                for (RawRun &run : runs) {
                    if (run.fd != ready.fd)
                        continue;
                    char buffer[4096];
                    const ssize_t got = ::read(run.fd, buffer, sizeof buffer);
                    if (got > 0)
                        run.written.append(buffer, int(got));
                    else
                        run.closed = true;
                }
            }
        }
        QThread::msleep(aliveAfterMs);
        for (RawRun &run : runs) {
            alive->append(run.pid > 0 && ::waitpid(run.pid, nullptr, WNOHANG) == 0);
            if (run.pid > 0) {
                ::kill(run.pid, SIGKILL);
                ::waitpid(run.pid, nullptr, 0);
            }
            if (run.fd >= 0)
                ::close(run.fd);
            lines.append(run.written.left(run.written.indexOf('\n')));
        }
    }
    return lines;
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

    QList<bool> alive;
    const QList<QByteArray> lines = firstLines({ arguments }, &alive);
    QCOMPARE(lines.value(0), line);
    QVERIFY(alive.value(0));
}

void tst_CommandLine::fuzzedArguments()
{
    QRandomGenerator random(20261207);
    auto bytes = [&random](int length, int low, int high) {
        QByteArray out;
        for (int i = 0; i < length; ++i)
            out.append(char(random.bounded(low, high + 1)));
        return out;
    };
    auto pick = [&random](const QList<QByteArray> &from) {
        return from.at(random.bounded(from.size()));
    };
    const QList<QByteArray> special = {
        "nan",        "-nan",        "inf", "+inf",  "-inf",     "-0",
        "+0",         "0",           "0.0", "1e999", "-1e999",   "1e-999",
        "0x10",       "0b11",        "010", "1e3",   "4.9e-324", "1.7976931348623157e308",
        "2147483648", "-2147483649", "440", "0.5",   "-440",     "NaN",
        "Infinity",   "1,5",         "١٢٣"
    };

    QList<QList<QByteArray>> vectors;
    for (int i = 0; i < 2000; ++i) {
        QList<QByteArray> arguments;
        const int count = i % 10 == 8 ? random.bounded(3, 9) : random.bounded(0, 3);
        for (int a = 0; a < count; ++a) {
            switch ((i + a) % 10) {
            case 0:
                arguments.append(bytes(random.bounded(0, 41), 1, 255));
                break;
            case 1:
                arguments.append(bytes(random.bounded(1, 11), 0x80, 0xff));
                break;
            case 2:
                arguments.append(QByteArray());
                break;
            case 3:
                arguments.append(pick({ "", "-", "+" }) + bytes(random.bounded(10, 400), '0', '9'));
                break;
            case 4:
                arguments.append(QByteArray::number(random.bounded(1, 10)) + "e"
                                 + QByteArray::number(random.bounded(-400, 401)));
                break;
            case 5:
                arguments.append(pick(special));
                break;
            case 6:
                arguments.append(bytes(random.bounded(0, 4), ' ', ' ') + pick(special)
                                 + bytes(random.bounded(0, 4), '\t', '\t'));
                break;
            case 7:
                arguments.append(bytes(100 * 1024, 0x21, 0x7e));
                break;
            case 8:
                arguments.append(pick(special) + pick(special));
                break;
            default: {
                static const QByteArray alphabet = "0123456789+-.eExXn ";
                QByteArray mixed;
                for (int c = random.bounded(1, 12); c > 0; --c)
                    mixed.append(alphabet.at(random.bounded(alphabet.size())));
                arguments.append(mixed);
            }
            }
        }
        vectors.append(arguments);
    }

    QList<bool> alive;
    const QList<QByteArray> lines = firstLines(vectors, &alive);
    const QRegularExpression settings(QStringLiteral("^\\S+ -?\\d+$"));
    for (int i = 0; i < vectors.size(); ++i) {
        QByteArray shown;
        for (const QByteArray &argument : vectors.at(i))
            shown += '"' + argument.left(40).toPercentEncoding() + "\" ";
        QVERIFY2(settings.match(QString::fromUtf8(lines.at(i))).hasMatch(),
                 qPrintable(
                         QStringLiteral("run %1 (%2): first line '%3'")
                                 .arg(i)
                                 .arg(QString::fromLatin1(shown), QString::fromUtf8(lines.at(i)))));
        QVERIFY2(alive.at(i),
                 qPrintable(QStringLiteral("run %1 (%2) ended by itself")
                                    .arg(i)
                                    .arg(QString::fromLatin1(shown))));
    }
}

QTEST_GUILESS_MAIN(tst_CommandLine)
#include "tst_commandline.moc"
