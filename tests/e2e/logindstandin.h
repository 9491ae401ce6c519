#ifndef LOGINDSTANDIN_H
#define LOGINDSTANDIN_H

#include <QDBusVirtualObject>
#include <QTemporaryDir>

class ChildProcess;

// A login manager for one test, on a private system bus of its own: it owns
// org.freedesktop.login1 and offers the manager, the test process's user and
// that user's display session, as much of them as following idleness, locking
// and sleep needs, and it emits what systemd-logind emits when they change.
// The program finds it through DBUS_SYSTEM_BUS_ADDRESS=address().
//
// The user is always there, as a user whose services run is; a display
// session starts active, unlocked and not idle.
class LogindStandIn : public QDBusVirtualObject
{
    Q_OBJECT

public:
    explicit LogindStandIn(QObject *parent = nullptr);
    ~LogindStandIn() override;

    // Starts the bus; without logind, nothing owns its name until
    // startLogind().
    bool start(bool withLogind = true);
    void startLogind();
    QString address() const { return busAddress; }
    QString errorString() const { return error; }

    // The user logs in to a graphical session, or out of it.
    void setDisplaySession(bool present);
    void setIdle(bool idle);
    void setLocked(bool locked);
    // Whether the display session is the one in front on its seat.
    void setActive(bool active);
    void announceSleep(bool goingToSleep);

private:
    QString introspect(const QString &path) const override;
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override;
    QVariantMap properties(const QString &path, const QString &interface) const;
    QString userPath() const;
    QString sessionPath() const;
    void emitSignal(const QString &path, const QString &interface, const QString &name,
                    const QVariantList &arguments);
    void propertiesChanged(const QString &path, const QString &interface,
                           const QVariantMap &changed);
    // Sets one of the session's hints, and tells of it as logind does.
    void setHint(bool *hint, bool now, const QVariantMap &changed);

    QTemporaryDir dir;
    ChildProcess *daemon = nullptr;
    QString busAddress;
    QString connectionName;
    QString error;
    // The display session's id; empty while there is none.
    QString sessionId;
    int sessions = 0;
    bool idle = false;
    bool locked = false;
    bool active = true;
};

#endif // LOGINDSTANDIN_H
