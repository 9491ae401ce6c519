#include <QtTest>

// The real executable, started with each argument vector: its first log line
// is the tone settings it took, volume then frequency.
class tst_CommandLine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void settingsLine_data();
    void settingsLine();

private:
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

    // An empty runtime directory and a server address that does not exist:
    // the program reaches no audio server, and never the user's own.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir.path());
    env.insert(QStringLiteral("HOME"), runtimeDir.path());
    env.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:") + runtimeDir.path() + "/none");
    env.remove(QStringLiteral("QT_MESSAGE_PATTERN"));
    env.remove(QStringLiteral("QT_LOGGING_RULES"));

    QProcess process;
    process.setProcessEnvironment(env);
    process.setProgram(QStringLiteral(STEADYTONE_EXE));
    process.setArguments(arguments);
    process.start();
    QVERIFY(process.waitForStarted(5000));

    // Log lines go to standard error.
    process.setReadChannel(QProcess::StandardError);
    QDeadlineTimer deadline(10000);
    while (!process.canReadLine() && !deadline.hasExpired() && process.state() == QProcess::Running)
        process.waitForReadyRead(100);
    const QString first = QString::fromLocal8Bit(process.readLine()).trimmed();
    // It keeps running: nothing in the program ends it.
    QTest::qWait(200);
    const bool running = process.state() == QProcess::Running;
    process.kill();
    process.waitForFinished(5000);

    QCOMPARE(first, line);
    QVERIFY(running);
}

QTEST_GUILESS_MAIN(tst_CommandLine)
#include "tst_commandline.moc"
