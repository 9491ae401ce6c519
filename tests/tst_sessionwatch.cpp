#include "logindstandin.h"
#include "sessionwatch.h"

#include <QDBusConnectionInterface>
#include <QtTest>

// The session watch against a login manager of the test's own. Each row is a
// script: the "> " steps drive the stand-in or the watch, the others are what
// the watch says, in order, before the next step.
class tst_SessionWatch : public QObject
{
    Q_OBJECT

private slots:
    void follows_data();
    void follows();
};

void tst_SessionWatch::follows_data()
{
    QTest::addColumn<bool>("logind");
    QTest::addColumn<QString>("script");

    QTest::newRow("idle") << true
                          << "> login | > watch | watching 1 | > idle | idle | > busy | not idle";
    QTest::newRow("locked")
            << true << "> login | > watch | watching 1 | > lock | idle | > unlock | not idle";
    QTest::newRow("another session in front")
            << true
            << "> login | > watch | watching 1 | > switch away | idle | > switch back | not idle";
    QTest::newRow("idle and locked: one change each way")
            << true
            << "> login | > watch | watching 1 | > idle | idle | > lock | > busy | > unlock | "
               "not idle";
    QTest::newRow("idle before the watch")
            << true << "> login | > lock | > watch | watching 1 | idle";
    QTest::newRow("sleep and resume, no session watched")
            << true
            << "> login | > follow sleep only | > idle | > sleep | > resume | resumed | "
               "> sleep";
    QTest::newRow("no login manager")
            << false << "> watch | unwatchable: no login manager on the system bus";
    QTest::newRow("login manager later")
            << false
            << "> login | > watch | unwatchable: no login manager on the system bus | "
               "> logind | watching 1";
    QTest::newRow("logout and login again")
            << true
            << "> watch | unwatchable: no graphical session for this user | > login | "
               "watching 1 | > lock | idle | > logout | "
               "unwatchable: no graphical session for this user | not idle | > login | "
               "watching 2";
}

void tst_SessionWatch::follows()
{
    QFETCH(bool, logind);
    QFETCH(QString, script);

    LogindStandIn standIn;
    QVERIFY2(standIn.start(logind), qPrintable(standIn.errorString()));
    // A connection of the row's own, to the row's own bus.
    const QString name = QString::fromUtf8(QTest::currentDataTag());
    const auto disconnect = qScopeGuard([&] { QDBusConnection::disconnectFromBus(name); });
    SessionWatch watch(QDBusConnection::connectToBus(standIn.address(), name));
    QStringList said;
    connect(&watch, &SessionWatch::watching, [&](const QString &id) { said << "watching " + id; });
    connect(&watch, &SessionWatch::unwatchable,
            [&](const QString &reason) { said << "unwatchable: " + reason; });
    connect(&watch, &SessionWatch::idleChanged,
            [&](bool idle) { said << (idle ? "idle" : "not idle"); });
    connect(&watch, &SessionWatch::resumed, [&] { said << "resumed"; });

    const QHash<QString, std::function<void()>> steps = {
        { "> watch", [&] { watch.start(true); } },
        // A signal sent the moment the watch starts would race its match rule
        // on the bus: a round trip on the watch's connection settles it.
        { "> follow sleep only",
          [&] {
              watch.start(false);
              QDBusConnection(name).interface()->serviceOwner("org.freedesktop.login1");
          } },
        { "> logind", [&] { standIn.startLogind(); } },
        { "> login", [&] { standIn.setDisplaySession(true); } },
        { "> logout", [&] { standIn.setDisplaySession(false); } },
        { "> idle", [&] { standIn.setIdle(true); } },
        { "> busy", [&] { standIn.setIdle(false); } },
        { "> lock", [&] { standIn.setLocked(true); } },
        { "> unlock", [&] { standIn.setLocked(false); } },
        { "> switch away", [&] { standIn.setActive(false); } },
        { "> switch back", [&] { standIn.setActive(true); } },
        { "> sleep", [&] { standIn.announceSleep(true); } },
        { "> resume", [&] { standIn.announceSleep(false); } },
    };
    QStringList expected;
    for (const QString &line : script.split(" | ")) {
        if (!steps.contains(line)) {
            expected << line;
            continue;
        }
        QTRY_COMPARE(said, expected);
        steps.value(line)();
    }
    QTRY_COMPARE(said, expected);
    // Nothing more comes: each change is told once.
    QTest::qWait(100);
    QCOMPARE(said, expected);
    const QStringList watched = said.filter(QRegularExpression("^(watching|unwatchable)"));
    QCOMPARE(watch.isWatching(), !watched.isEmpty() && watched.last().startsWith("watching"));
    const QStringList idle = said.filter(QRegularExpression("idle$"));
    QCOMPARE(watch.isIdle(), !idle.isEmpty() && idle.last() == "idle");
}

QTEST_GUILESS_MAIN(tst_SessionWatch)
#include "tst_sessionwatch.moc"
