#include "arguments.h"
#include "hearing.h"
#include "loopguard.h"
#include "narrator.h"
#include "recovery.h"
#include "service.h"
#include "words.h"

#include <QtTest>

struct Look
{
    qint64 nowMs = 0;
    quint64 checks = 0;
    qint64 startBeganMs = -1;
    LoopGuard::Judge::Verdict verdict = LoopGuard::Judge::Fine;
};
Q_DECLARE_METATYPE(QList<Look>)

// The program's decisions, each a pure function of what it is told: what to
// do about an output, when to start afresh and what the new image inherits,
// when the event loop hangs, what the command line asks for, and what reaches
// a device and what the status says of it.
class tst_Decisions : public QObject
{
    Q_OBJECT

private slots:
    void recovery_data();
    void recovery();
    void restartPlan_data();
    void restartPlan();
    void handedOn_data();
    void handedOn();
    void guard_data();
    void guard();
    void arguments_data();
    void arguments();
    void status_data();
    void status();
    void shown_data();
    void shown();
};

void tst_Decisions::recovery_data()
{
    // One token a step: a check and what it sees, or A for a server change
    // that re-arms the rebuilds.
    //   check:  R regular, 5 s after the last; E on a server event, 100 ms
    //           after; S one the program asked for, a second after
    //   Qt:     p playing, b has written its first buffer and no more,
    //           which Qt writes in steps of 20 ms, up to 30 ms past its end,
    //           s stalled, k stream killed, f failed, F failed, and a
    //           rebuild made now fails as it starts
    //   server: + has the device and the stream, m has the device and has
    //           moved the stream elsewhere, x has the device and no stream
    //           there, g has not the device, - does not answer
    QTest::addColumn<QString>("steps");
    // What each step decides: . nothing, B rebuild, P put back, R restart.
    QTest::addColumn<QString>("verdicts");

    QTest::newRow("healthy") << "Rp+ Rp+ Ep+ Rp+"
                             << "....";
    QTest::newRow("killed, rebuilt at the event, then plays") << "Rp+ Rp+ Ek+ Rp+ Rp+"
                                                              << "..B..";
    QTest::newRow("killed with no server: waits") << "Rp+ Rp+ Rk- Rk-"
                                                  << "....";
    // A stream taken away again after a rebuild that never played is tried
    // again a second later, then two, then every four, not at the pace of
    // the server's events; once one plays, at once again.
    QTest::newRow("a kill storm")
            << "Rp+ Rp+ Ek+ Ek+ Sk+ Sk+ Sk+ Sk+ Sk+ Sk+ Sk+ Sk+ Sk+ Sk+ Sk+ Sp+ Ek+ Ek+"
            << "..B.B.B...B...B.B.";
    // Filling its buffer as it starts is not playing: the backoff stays.
    QTest::newRow("killed again after its first buffer") << "Rp+ Rp+ Ek+ Eb+ Ek+"
                                                         << "..B..";
    QTest::newRow("a server change re-arms at once") << "Rp+ Rp+ Ek+ Ek+ A Ek+ Ek+"
                                                     << "..B..B.";
    // Half a minute of suspension costs two rebuilds, then they grow apart.
    QTest::newRow("a suspended sink") << "Rp+ Rp+ Rs+ Rs+ Rs+ Rs+ Rs+ Rs+ Rs+ Rs+ Rs+ Rs+ Rp+"
                                      << "..B..B....B..";
    QTest::newRow("failed, Qt reconnected") << "Rp+ Rp+ Ef+ Rp+"
                                            << "..B.";
    QTest::newRow("failed, Qt's backend lost the server") << "Rp+ Rp+ EF+ Ef+"
                                                          << "..BR";
    QTest::newRow("failed, the server back without the device") << "Rp+ Rp+ Ef- Efg"
                                                                << "...R";
    // Qt still names a device the server no longer has: no new stream there.
    QTest::newRow("killed, the device gone, then back") << "Rp+ Rp+ Ekg Rkg Ek+"
                                                        << "....B";
    // A stream moved away is asked back, and started again only if it is
    // not back by the next regular check.
    QTest::newRow("moved, put back at the event") << "Rp+ Rp+ Epm Rp+ Rp+ Epm"
                                                  << "..P..P";
    QTest::newRow("moved, and not put back") << "Rp+ Rp+ Epm Epm Rpm"
                                             << "..P.B";
    QTest::newRow("gone from the device before the server told of it") << "Epx Rpx Rpx"
                                                                       << "..B";
}

void tst_Decisions::recovery()
{
    QFETCH(QString, steps);
    QFETCH(QString, verdicts);

    constexpr qint64 BufferUs = 250000;
    Recovery recovery;
    qint64 playedUs = 0;
    qint64 nowMs = 0;
    QString decided;
    for (const QString &step : steps.split(' ')) {
        if (step == "A") {
            recovery.rearm();
            decided += '.';
            continue;
        }
        Recovery::Observation seen;
        seen.regular = step.at(0) == 'R';
        nowMs += seen.regular ? 5000 : step.at(0) == 'S' ? 1000 : 100;
        seen.atMs = nowMs;
        const QChar qt = step.at(1);
        const QChar server = step.at(2);
        if (qt == 'p')
            playedUs += seen.regular ? 5000000 : 500000;
        else if (qt == 'b')
            playedUs = BufferUs + 30000;
        seen.playedUs = playedUs;
        seen.bufferUs = BufferUs;
        seen.killed = qt == 'k';
        seen.failed = qt == 'f' || qt == 'F';
        seen.serverAnswers = server != '-';
        seen.deviceListed = server == '+' || server == 'm' || server == 'x';
        seen.streamListed = server == '+';
        seen.streamMovedAway = server == 'm';
        const Recovery::Verdict verdict = recovery.next(seen);
        decided += QString(".BPR").at(verdict.action);
        if (verdict.action == Recovery::Rebuild) {
            playedUs = 0;
            recovery.rebuilt(qt == 'F');
        }
    }
    QCOMPARE(decided.size(), verdicts.size());
    QCOMPARE(decided, verdicts);
}

void tst_Decisions::restartPlan_data()
{
    QTest::addColumn<int>("reason");
    // What this process's outputs played beyond their first buffers, in all.
    QTest::addColumn<qint64>("playedUs");
    QTest::addColumn<int>("restarts");
    QTest::addColumn<qint64>("uptimeMs");
    // The server came back while this process ran.
    QTest::addColumn<bool>("returned");
    QTest::addColumn<bool>("now");
    QTest::addColumn<qint64>("waitMs");
    QTest::addColumn<int>("handedOn");

    const qint64 enough = Service::PlayedEnoughUs;
    const auto row = [](const char *name) -> QTestData & {
        return QTest::newRow(name) << int(FreshStart::BackendLost);
    };
    row("played: at once, a fresh count")
            << enough << 3 << qint64(0) << false << true << qint64(0) << 0;
    // Three outputs, each moved away before it played a second, played
    // together for long enough.
    row("played across moves") << 3 * (enough / 2) << 3 << qint64(0) << false << true << qint64(0)
                               << 0;
    row("played too little") << enough - 1 << 1 << qint64(0) << false << false << qint64(60000)
                             << 2;
    row("the first that found nothing")
            << qint64(0) << 0 << qint64(0) << false << true << qint64(0) << 1;
    row("the second, too soon") << qint64(0) << 1 << qint64(59999) << false << false << qint64(1)
                                << 2;
    row("the second, after a minute")
            << qint64(0) << 1 << qint64(60000) << false << true << qint64(0) << 2;
    row("the third waits two minutes")
            << qint64(0) << 2 << qint64(100000) << false << false << qint64(20000) << 3;
    row("at most 64 minutes") << qint64(0) << 100 << qint64(0) << false << false << qint64(3840000)
                              << 101;
    // A server that came back may have ended whatever kept this one from
    // playing: once for each return, whatever the count, which stays.
    row("a server return during the wait")
            << qint64(0) << 5 << qint64(1000) << true << true << qint64(0) << 5;
    // A process that hangs cannot see the server return: waiting would
    // leave it hung.
    QTest::newRow("a hang, however many before") << int(FreshStart::LoopStuck) << qint64(0) << 5
                                                 << qint64(1000) << false << true << qint64(0) << 6;
}

void tst_Decisions::restartPlan()
{
    QFETCH(int, reason);
    QFETCH(qint64, playedUs);
    QFETCH(int, restarts);
    QFETCH(qint64, uptimeMs);
    QFETCH(bool, returned);

    const Service::RestartPlan plan = Service::planRestart(FreshStart::Reason(reason), playedUs,
                                                           restarts, uptimeMs, returned);
    QTEST(plan.now, "now");
    QTEST(plan.waitMs, "waitMs");
    QTEST(plan.restarts, "handedOn");
}

void tst_Decisions::handedOn_data()
{
    QTest::addColumn<QByteArrayList>("environment");
    QTest::addColumn<QByteArrayList>("inherited");

    QTest::newRow("nothing handed on before")
            << QByteArrayList { "HOME=/h", "LANG=C" } << QByteArrayList { "HOME=/h", "LANG=C" };
    // The restart writes the count and the reason afresh: an old entry left
    // behind would be read by the new image in their place.
    QTest::newRow("what the last restart handed on")
            << QByteArrayList { "STEADYTONE_RESTARTS=2", "HOME=/h",
                                "STEADYTONE_RESTARTED_BECAUSE=The event loop is stuck",
                                "STEADYTONE_RESTARTS_SEEN=1" }
            << QByteArrayList { "HOME=/h", "STEADYTONE_RESTARTS_SEEN=1" };
}

void tst_Decisions::handedOn()
{
    QFETCH(QByteArrayList, environment);
    QFETCH(QByteArrayList, inherited);
    QCOMPARE(Service::handedOn(environment), inherited);
}

void tst_Decisions::guard_data()
{
    QTest::addColumn<QList<Look>>("looks");

    using J = LoopGuard::Judge;
    QTest::newRow("checks keep coming")
            << QList<Look> { { 5000, 1 }, { 10000, 2 }, { 15000, 3 }, { 20000, 4 }, { 25000, 5 } };
    QTest::newRow("the loop stuck, told at every tick")
            << QList<Look> { { 5000, 1 },
                             { 10000, 1 },
                             { 15000, 1 },
                             { 20000, 1, -1, J::LoopStuck },
                             { 25000, 1, -1, J::LoopStuck } };
    // The guard itself came 2.5 s late: the process was stopped, or the
    // machine too busy. The count starts again from there.
    QTest::newRow("a late look starts the count afresh")
            << QList<Look> { { 5000, 0 },  { 10000, 0 }, { 17500, 0 },
                             { 22500, 0 }, { 27500, 0 }, { 32500, 0, -1, J::LoopStuck } };
    QTest::newRow("a start that does not return")
            << QList<Look> { { 1000, 0, 1000 },
                             { 3000, 0, 1000, J::StartStuck },
                             { 5000, 0, 1000 },
                             { 8000, 0, 1000, J::StartStuck } };
    QTest::newRow("a start that returns in time") << QList<Look> {
        { 1000, 0, 1000 }, { 2900, 0, 1000 }, { 3000, 0, -1 }, { 5000, 1, -1 }
    };
    QTest::newRow("a start while the process was stopped") << QList<Look> {
        { 1000, 0, 1000 }, { 6000, 0, 1000 }, { 7900, 0, 1000 }, { 8000, 0, 1000, J::StartStuck }
    };
}

void tst_Decisions::guard()
{
    QFETCH(QList<Look>, looks);

    LoopGuard::Judge judge(5000, 0);
    for (const Look &look : looks) {
        QVERIFY2(look.nowMs >= judge.nextLookMs() || look.startBeganMs >= 0,
                 qPrintable(QStringLiteral("at %1 ms the guard sleeps until %2 ms")
                                    .arg(look.nowMs)
                                    .arg(judge.nextLookMs())));
        QCOMPARE(judge.look(look.nowMs, look.checks, look.startBeganMs), look.verdict);
    }
}

void tst_Decisions::arguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("request");
    // default, all, or the names of the devices asked for.
    QTest::addColumn<QStringList>("outputs");
    QTest::addColumn<int>("frequency");
    QTest::addColumn<double>("volume");
    // The notes on values taken instead, or the error.
    QTest::addColumn<QStringList>("said");

    const QStringList none;
    const QStringList byDefault { "default" };
    auto plays = [&](const char *name, const QStringList &arguments, int frequency, double volume,
                     const QStringList &said = {}, const QStringList &outputs = { "default" }) {
        QTest::newRow(name) << arguments << int(Arguments::Play) << outputs << frequency << volume
                            << said;
    };
    auto wrong = [&](const char *name, const QStringList &arguments, const QString &error) {
        QTest::newRow(name) << arguments << int(Arguments::Wrong) << byDefault << 20 << 0.02
                            << QStringList { error };
    };
    plays("none", none, 20, 0.02);
    plays("frequency", { "440" }, 440, 0.02);
    plays("frequency and volume", { "440", "0.5" }, 440, 0.5);
    plays("zeros mean the defaults", { "0", "0" }, 20, 0.02);
    plays("a third value is ignored", { "440", "0.5", "7" }, 440, 0.5,
          { "Only a frequency and a volume are taken: \"7\" is ignored" });
    plays("a negative number is no option", { "-5" }, -5, 0.02);
    plays("full scale", { "440", "1" }, 440, 1.0);
    plays("the lowest frequency", { "-20000" }, -20000, 0.02);
    plays("below the lowest", { "-20001" }, 20, 0.02,
          { "The frequency -20001 Hz is outside -20000 to 20000 Hz; playing 20 Hz" });
    plays("not a whole number", { "440.5" }, 20, 0.02,
          { "The frequency \"440.5\" is not a whole number; playing 20 Hz" });
    plays("above the highest", { "20001", "0.5" }, 20, 0.5,
          { "The frequency 20001 Hz is outside -20000 to 20000 Hz; playing 20 Hz" });
    plays("whole, but past any int", { "99999999999999999999" }, 20, 0.02,
          { "The frequency 99999999999999999999 Hz is outside -20000 to 20000 Hz; playing 20 Hz" });
    plays("the volume not a number", { "440", "abc" }, 440, 0.02,
          { "The volume \"abc\" is not a number; playing at 0.02" });
    plays("louder than full scale", { "440", "2" }, 440, 0.02,
          { "The volume 2 is outside 0 to 1; playing at 0.02" });
    plays("too low to make any sound", { "440", "0.00003" }, 440, 0.02,
          { "The volume 0.00003 is too low to make any sound; playing at 0.02" });
    plays("a negative volume", { "440", "-0.5" }, 440, 0.02,
          { "The volume -0.5 is outside 0 to 1; playing at 0.02" });
    plays("an endless volume", { "440", "inf" }, 440, 0.02,
          { "The volume inf is outside 0 to 1; playing at 0.02" });
    // Qt plays a volume that is not a number at full scale.
    plays("a volume that is not a number", { "440", "nan" }, 440, 0.02,
          { "The volume nan is outside 0 to 1; playing at 0.02" });
    plays("-- ends the options", { "--", "440" }, 440, 0.02);
    plays("-- before a negative value", { "--", "-5", "0.5" }, -5, 0.5);
    plays("-- before what looks like an option", { "--", "--all" }, 20, 0.02,
          { "The frequency \"--all\" is not a whole number; playing 20 Hz" });
    plays("--all", { "--all", "440", "0.5" }, 440, 0.5, {}, { "all" });
    plays("--device, again and again",
          { "--device", "beta", "--device=gamma", "--device=beta", "440" }, 440, 0.02, {},
          { "beta", "gamma" });
    plays("a device named like an option", { "--device", "--all" }, 20, 0.02, {}, { "--all" });
    plays("a device, then a name where the frequency goes", { "--device", "beta", "alpha" }, 20,
          0.02, { "The frequency \"alpha\" is not a whole number; playing 20 Hz" }, { "beta" });
    plays("an option after the values", { "440", "--all" }, 440, 0.02, {}, { "all" });
    wrong("an unknown option", { "--bogus" }, "unknown option \"--bogus\"");
    wrong("a short unknown option", { "440", "-V" }, "unknown option \"-V\"");
    wrong("--device without a name", { "--device" }, "--device needs the name of an output device");
    wrong("--device= without a name", { "--device=" },
          "--device needs the name of an output device");
    wrong("--all and --device", { "--all", "--device", "beta" },
          "--all and --device do not go together");
    QTest::newRow("--help") << QStringList { "440", "--help" } << int(Arguments::Help) << byDefault
                            << 20 << 0.02 << none;
    QTest::newRow("-h") << QStringList { "-h" } << int(Arguments::Help) << byDefault << 20 << 0.02
                        << none;
    QTest::newRow("--version") << QStringList { "--version" } << int(Arguments::Version)
                               << byDefault << 20 << 0.02 << none;
    QTest::newRow("--list") << QStringList { "--list" } << int(Arguments::List) << byDefault << 20
                            << 0.02 << none;
}

void tst_Decisions::arguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, request);
    QFETCH(QStringList, outputs);
    QFETCH(int, frequency);
    QFETCH(double, volume);
    QFETCH(QStringList, said);

    const Arguments parsed(QStringList { "steadytone" } + arguments);
    QCOMPARE(int(parsed.request), request);
    QCOMPARE(parsed.request == Arguments::Wrong ? QStringList { parsed.error } : parsed.notes,
             said);
    if (parsed.request == Arguments::Wrong)
        return;
    QStringList chosen;
    if (parsed.outputs.mode == Tone::Outputs::Default)
        chosen << "default";
    else if (parsed.outputs.mode == Tone::Outputs::All)
        chosen << "all";
    QCOMPARE(chosen + parsed.outputs.names, outputs);
    QCOMPARE(parsed.tone.frequency, frequency);
    QCOMPARE(parsed.tone.volume, volume);
}

void tst_Decisions::status_data()
{
    QTest::addColumn<bool>("paused");
    QTest::addColumn<bool>("server");
    // The outputs that play, each its name in words and what the server
    // reports of it: its sink's slider in percent, "muted" or "suspended",
    // and its stream's, in percent or "muted"; then "stalled" if Qt finds it
    // so.
    QTest::addColumn<QStringList>("playing");
    QTest::addColumn<QStringList>("absent");
    QTest::addColumn<QString>("deferral");
    QTest::addColumn<QString>("status");

    const QStringList none;
    const QString playing = "Playing 20 Hz at volume 0.02 on ";
    const QString nothing = "Nothing reaches Alpha (alpha): ";
    auto row = [&](const char *name, const QStringList &outputs, const QString &status) {
        QTest::newRow(name) << false << true << outputs << none << QString() << status;
    };
    row("playing", { "Alpha (alpha)|100|100" }, playing + "Alpha (alpha)");
    row("a stream turned up", { "Alpha (alpha)|100|150" }, playing + "Alpha (alpha)");
    // The server's scale is cubic: half-way is an eighth.
    row("the stream half-way", { "Alpha (alpha)|100|50" },
        playing + "Alpha (alpha), which the mixer turns down to volume 0.0025");
    row("the sink at 30 %", { "Alpha (alpha)|30|100" },
        playing + "Alpha (alpha), which the mixer turns down to volume 0.00054");
    row("the stream at 0 %", { "Alpha (alpha)|100|0" },
        nothing + "the steadytone stream is at 0 % in the mixer");
    // Every 16-bit sample of the tone is zero then.
    row("both low", { "Alpha (alpha)|20|10" },
        nothing + "the steadytone stream is at 10 % and the device at 20 % in the mixer");
    row("the stream muted", { "Alpha (alpha)|100|muted" },
        nothing + "the steadytone stream is muted in the mixer");
    row("the sink muted, and the stream", { "Alpha (alpha)|muted|muted" },
        nothing + "it is muted in the mixer");
    row("suspended, and muted", { "Alpha (alpha)|suspended|muted" },
        "Nothing plays on Alpha (alpha): the sound server has suspended it");
    row("stalled", { "Alpha (alpha)|100|100|stalled" },
        "Nothing plays on Alpha (alpha); trying it again now and then");
    row("on three, one suspended, one muted",
        { "Alpha (alpha)|100|100", "Beta (beta)|suspended|100", "gamma|100|muted" },
        playing
                + "Alpha (alpha); nothing plays on Beta (beta): the sound server has "
                  "suspended it; nothing reaches gamma: the steadytone stream is muted in the "
                  "mixer");
    QTest::newRow("on two, one named missing")
            << false << true << QStringList { "alpha|100|100", "beta|100|100" }
            << QStringList { "\"hdmi\"" } << QString()
            << playing + "2 outputs, waiting for \"hdmi\"";
    row("no output", none, "Waiting for an output device");
    QTest::newRow("the named ones missing")
            << false << true << none << QStringList { "\"hdmi\"", "\"usb\"" } << QString()
            << "Waiting for \"hdmi\", \"usb\" (steadytone --list shows the names)";
    QTest::newRow("no server") << false << false << QStringList { "alpha|100|100" } << none
                               << QString() << "Waiting for an audio server";
    QTest::newRow("paused") << true << false << none << none << QString()
                            << "Paused while the session is idle";
    QTest::newRow("a fresh start waited for")
            << true << false << QStringList { "alpha|100|100" } << none << "Waiting to start afresh"
            << "Waiting to start afresh";
}

void tst_Decisions::status()
{
    QFETCH(bool, paused);
    QFETCH(bool, server);
    QFETCH(QStringList, playing);

    auto mixer = [](const QString &given) {
        return ServerState::Mixer { given == "muted",
                                    given.toInt() > 0      ? given.toInt() / 100.0
                                            : given == "0" ? 0.0
                                                           : 1.0 };
    };
    Narrator::Scene scene;
    scene.paused = paused;
    scene.reach = server ? ServerState::Reachable : ServerState::Unreachable;
    for (const QString &output : playing) {
        const QStringList said = output.split('|');
        const ServerState::Sink sink { "s", "S", said.at(1) == "suspended", mixer(said.at(1)) };
        const ServerState::Stream stream { 1, "s", "s", mixer(said.at(2)) };
        scene.playing.append(
                { said.at(0), Hearing::of(0.02, &sink, &stream, said.value(3) == "stalled") });
    }
    QFETCH(QStringList, absent);
    QFETCH(QString, deferral);
    scene.absent = absent;
    scene.deferral = deferral;
    QTEST(Narrator::status(Tone::Settings(), scene), "status");
}

void tst_Decisions::shown_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("whole");
    QTest::addColumn<QString>("shown");

    QTest::newRow("a plain name") << "Alpha speakers \u00e9" << false << "Alpha speakers \u00e9";
    // What could end a line, start an assignment of the service manager's
    // or a terminal's escape is written out.
    QTest::newRow("control characters")
            << "Evil\nSTOPPING=1\tX\x1b[31m\rR\u0085C\u2028\x7f" << false
            << "Evil\\nSTOPPING=1\\tX\\e[31m\\rR\\u0085C\\u2028\\u007f";
    QTest::newRow("too long") << QString(300, 'a') << false
                              << QString(Words::MaxShownChars - 1, 'a') + "\u2026";
    QTest::newRow("too long, whole") << QString(300, 'a') << true << QString(300, 'a');
}

void tst_Decisions::shown()
{
    QFETCH(QString, text);
    QFETCH(bool, whole);
    QTEST(Words::shown(text, whole), "shown");
}

QTEST_APPLESS_MAIN(tst_Decisions)
#include "tst_decisions.moc"
