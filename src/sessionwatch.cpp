#include "sessionwatch.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>

#include <unistd.h>

namespace {

const QString Login1 = QStringLiteral("org.freedesktop.login1");
const QString ManagerPath = QStringLiteral("/org/freedesktop/login1");
const QString ManagerInterface = QStringLiteral("org.freedesktop.login1.Manager");
const QString UserInterface = QStringLiteral("org.freedesktop.login1.User");
const QString SessionInterface = QStringLiteral("org.freedesktop.login1.Session");
const QString PropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

const QString NoBus = QStringLiteral("the system bus cannot be reached");
const QString NoLoginManager = QStringLiteral("no login manager on the system bus");
const QString NoSession = QStringLiteral("no graphical session for this user");

} // namespace

SessionWatch::SessionWatch(QObject *parent)
    : SessionWatch(QDBusConnection::systemBus(), parent)
{ }

SessionWatch::SessionWatch(const QDBusConnection &bus, QObject *parent)
    : QObject(parent)
    , bus(bus)
{ }

void SessionWatch::start(bool watchIdle)
{
    bus.connect(Login1, ManagerPath, ManagerInterface, QStringLiteral("PrepareForSleep"), this,
                SLOT(prepareForSleep(bool)));
    if (!watchIdle)
        return;
    if (!bus.isConnected()) {
        tellUnwatchable(NoBus);
        return;
    }
    // A login manager that starts later, or again, is followed from the start.
    auto *owner =
            new QDBusServiceWatcher(Login1, bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(owner, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString &, const QString &, const QString &now) {
                loginManagerChanged(now);
            });
    // The user's Display changes when sessions come and go; reading it again
    // then does not depend on logind announcing the change of the property.
    bus.connect(Login1, ManagerPath, ManagerInterface, QStringLiteral("UserNew"), this,
                SLOT(userNew(uint)));
    bus.connect(Login1, ManagerPath, ManagerInterface, QStringLiteral("SessionNew"), this,
                SLOT(sessionsChanged()));
    bus.connect(Login1, ManagerPath, ManagerInterface, QStringLiteral("SessionRemoved"), this,
                SLOT(sessionsChanged()));
    lookUpUser();
}

void SessionWatch::loginManagerChanged(const QString &owner)
{
    if (owner.isEmpty()) {
        lose(NoLoginManager);
        return;
    }
    // A login manager that starts again knows its sessions afresh.
    forget();
    setIdle(false);
    lookUpUser();
}

void SessionWatch::prepareForSleep(bool start)
{
    if (!start)
        emit resumed();
}

void SessionWatch::userNew(uint uid)
{
    if (uid == ::getuid() && userPath.isEmpty())
        lookUpUser();
}

void SessionWatch::sessionsChanged()
{
    if (displayKnown)
        readDisplay();
}

void SessionWatch::ask(const QString &path, const QString &interface, const QString &method,
                       const QVariantList &arguments,
                       const std::function<void(const QDBusMessage &)> &then)
{
    QDBusMessage message = QDBusMessage::createMethodCall(Login1, path, interface, method);
    message.setArguments(arguments);
    // Where logind is not running, it is not wanted: this does not start it.
    message.setAutoStartService(false);
    auto *call = new QDBusPendingCallWatcher(bus.asyncCall(message), this);
    const int asked = generation;
    connect(call, &QDBusPendingCallWatcher::finished, this, [this, call, asked, then] {
        call->deleteLater();
        if (asked == generation)
            then(call->reply());
    });
}

void SessionWatch::lookUpUser()
{
    ask(ManagerPath, ManagerInterface, QStringLiteral("GetUser"), { uint(::getuid()) },
        [this](const QDBusMessage &reply) {
            if (reply.type() == QDBusMessage::ErrorMessage) {
                // Without a user, UserNew tells when there is one.
                lose(reply.errorName() == QLatin1String("org.freedesktop.login1.NoSuchUser")
                             ? NoSession
                             : NoLoginManager);
                return;
            }
            // Asked twice (UserNew while asking), the first answer is enough.
            if (!userPath.isEmpty())
                return;
            userPath = reply.arguments().value(0).value<QDBusObjectPath>().path();
            bus.connect(Login1, userPath, PropertiesInterface, QStringLiteral("PropertiesChanged"),
                        this, SLOT(userPropertiesChanged(QString, QVariantMap)));
            readDisplay();
        });
}

void SessionWatch::readDisplay()
{
    ask(userPath, PropertiesInterface, QStringLiteral("Get"),
        { UserInterface, QStringLiteral("Display") }, [this](const QDBusMessage &reply) {
            if (reply.type() == QDBusMessage::ErrorMessage) {
                // The user has gone; UserNew tells when it is back.
                lose(NoSession);
                return;
            }
            displayKnown = true;
            followDisplay(reply.arguments().value(0).value<QDBusVariant>().variant());
        });
}

void SessionWatch::userPropertiesChanged(const QString &interface, const QVariantMap &changed)
{
    // What changed before the first reading is in that reading.
    if (displayKnown && interface == UserInterface && changed.contains(QStringLiteral("Display")))
        followDisplay(changed.value(QStringLiteral("Display")));
}

void SessionWatch::followDisplay(const QVariant &display)
{
    // A (session id, session path) structure; ("", "/") when there is none.
    QString id;
    QDBusObjectPath path;
    const QDBusArgument argument = display.value<QDBusArgument>();
    if (argument.currentSignature() == QLatin1String("(so)")) {
        argument.beginStructure();
        argument >> id >> path;
        argument.endStructure();
    }
    followSession(id, id.isEmpty() ? QString() : path.path());
}

void SessionWatch::followSession(const QString &id, const QString &path)
{
    if (!path.isEmpty() && path == sessionPath)
        return;
    if (!sessionPath.isEmpty())
        bus.disconnect(Login1, sessionPath, PropertiesInterface,
                       QStringLiteral("PropertiesChanged"), this,
                       SLOT(sessionPropertiesChanged(QString, QVariantMap)));
    sessionId = id;
    sessionPath = path;
    session.clear();
    if (path.isEmpty()) {
        update();
        return;
    }
    // Followed before it is read, so that no change falls in between.
    bus.connect(Login1, path, PropertiesInterface, QStringLiteral("PropertiesChanged"), this,
                SLOT(sessionPropertiesChanged(QString, QVariantMap)));
    ask(path, PropertiesInterface, QStringLiteral("GetAll"), { SessionInterface },
        [this, path](const QDBusMessage &reply) {
            if (path != sessionPath)
                return;
            session = qdbus_cast<QVariantMap>(reply.arguments().value(0));
            update();
        });
}

void SessionWatch::sessionPropertiesChanged(const QString &interface, const QVariantMap &changed)
{
    if (session.isEmpty() || interface != SessionInterface)
        return;
    for (auto it = changed.cbegin(); it != changed.cend(); ++it)
        session.insert(it.key(), it.value());
    update();
}

void SessionWatch::forget()
{
    ++generation;
    if (!userPath.isEmpty())
        bus.disconnect(Login1, userPath, PropertiesInterface, QStringLiteral("PropertiesChanged"),
                       this, SLOT(userPropertiesChanged(QString, QVariantMap)));
    if (!sessionPath.isEmpty())
        bus.disconnect(Login1, sessionPath, PropertiesInterface,
                       QStringLiteral("PropertiesChanged"), this,
                       SLOT(sessionPropertiesChanged(QString, QVariantMap)));
    userPath.clear();
    displayKnown = false;
    sessionId.clear();
    sessionPath.clear();
    session.clear();
    watched = false;
}

void SessionWatch::lose(const QString &reason)
{
    forget();
    tellUnwatchable(reason);
    setIdle(false);
}

void SessionWatch::update()
{
    // A text console, or a session that is closing, is no display to watch.
    static const QStringList graphical = { QStringLiteral("x11"), QStringLiteral("wayland"),
                                           QStringLiteral("mir") };
    const bool present = graphical.contains(session.value(QStringLiteral("Type")).toString())
            && session.value(QStringLiteral("State")).toString() != QLatin1String("closing");
    if (present && !watched) {
        watched = true;
        toldUnwatchable = false;
        emit watching(sessionId);
    } else if (!present) {
        watched = false;
        tellUnwatchable(NoSession);
    }
    setIdle(present
            && (!session.value(QStringLiteral("Active")).toBool()
                || session.value(QStringLiteral("IdleHint")).toBool()
                || session.value(QStringLiteral("LockedHint")).toBool()));
}

void SessionWatch::setIdle(bool now)
{
    if (idle == now)
        return;
    idle = now;
    emit idleChanged(idle);
}

void SessionWatch::tellUnwatchable(const QString &reason)
{
    if (toldUnwatchable)
        return;
    toldUnwatchable = true;
    emit unwatchable(reason);
}
