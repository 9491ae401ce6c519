#ifndef SESSIONWATCH_H
#define SESSIONWATCH_H

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <functional>

class QDBusMessage;
class QDBusObjectPath;

// Follows systemd-logind on the system bus: the system's sleep and resume,
// and, when asked, whether the user's display session (the one logind names
// as the user's Display) is locked or idle. Each state is read once and then
// followed through logind's signals: while nothing changes there is no timer
// and no wakeup.
//
// The session counts as idle while logind calls it idle or locked, and also
// while it is not the active session of its seat: then someone else's
// session, or a text console, is in front, nobody listens through this one,
// and the devices belong to the session in front.
class SessionWatch : public QObject
{
    Q_OBJECT

public:
    // On the system bus (DBUS_SYSTEM_BUS_ADDRESS, or the usual socket).
    explicit SessionWatch(QObject *parent = nullptr);
    // On the bus given: a private one in the tests.
    explicit SessionWatch(const QDBusConnection &bus, QObject *parent = nullptr);

    // Starts following logind: always the system's sleep and resume; with
    // watchIdle, also the user's display session. Connect to the signals
    // first: a bus that cannot be reached is told from here.
    void start(bool watchIdle);
    // Whether the user's display session is locked or idle now (false when
    // there is none to watch).
    bool isIdle() const { return idle; }
    // Whether a display session is being watched; false while there is none.
    bool isWatching() const { return watched; }

signals:
    // Only on a real change.
    void idleChanged(bool idle);
    // The system has woken from sleep.
    void resumed();
    // Once when there is nothing to watch, with the reason in plain words;
    // again only after a session was watched in between.
    void unwatchable(const QString &reason);
    // A display session, by its id, is now watched.
    void watching(const QString &session);

private slots:
    // logind's signals: Qt D-Bus delivers signals by signature, to slots.
    void prepareForSleep(bool start);
    void userNew(uint uid);
    void sessionsChanged();
    void userPropertiesChanged(const QString &interface, const QVariantMap &changed);
    void sessionPropertiesChanged(const QString &interface, const QVariantMap &changed);

private:
    void loginManagerChanged(const QString &owner);
    void ask(const QString &path, const QString &interface, const QString &method,
             const QVariantList &arguments, const std::function<void(const QDBusMessage &)> &then);
    void lookUpUser();
    void readDisplay();
    void followDisplay(const QVariant &display);
    void followSession(const QString &id, const QString &path);
    // Lets go of the user and the session, without a word.
    void forget();
    // Nothing to watch any more, for this reason: not idle.
    void lose(const QString &reason);
    void update();
    void setIdle(bool now);
    void tellUnwatchable(const QString &reason);

    QDBusConnection bus;
    QString userPath;
    bool displayKnown = false;
    QString sessionId;
    QString sessionPath;
    // The session's properties; empty until they have been read.
    QVariantMap session;
    bool watched = false;
    bool idle = false;
    bool toldUnwatchable = false;
    // Answers to what was asked of a login manager that has since come or
    // gone are stale.
    int generation = 0;
};

#endif // SESSIONWATCH_H
