#include "logindstandin.h"

#include "childprocess.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QFile>

#include <unistd.h>

namespace {

const QString Login1 = QStringLiteral("org.freedesktop.login1");
const QString ManagerPath = QStringLiteral("/org/freedesktop/login1");
const QString ManagerInterface = QStringLiteral("org.freedesktop.login1.Manager");
const QString UserInterface = QStringLiteral("org.freedesktop.login1.User");
const QString SessionInterface = QStringLiteral("org.freedesktop.login1.Session");
const QString PropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

// A system bus's kind of configuration, where only the login manager's name
// can be owned and everyone may talk to everyone.
const char *const BusConfig = R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <allow own="org.freedesktop.login1"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";

// The user's Display: a session's id and object path, ("", "/") for none.
struct SessionReference
{
    QString id;
    QDBusObjectPath path;
};

QDBusArgument &operator<<(QDBusArgument &argument, const SessionReference &session)
{
    argument.beginStructure();
    argument << session.id << session.path;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, SessionReference &session)
{
    argument.beginStructure();
    argument >> session.id >> session.path;
    argument.endStructure();
    return argument;
}

} // namespace

Q_DECLARE_METATYPE(SessionReference)

LogindStandIn::LogindStandIn(QObject *parent)
    : QDBusVirtualObject(parent)
{
    qDBusRegisterMetaType<SessionReference>();
}

LogindStandIn::~LogindStandIn()
{
    if (!connectionName.isEmpty())
        QDBusConnection::disconnectFromBus(connectionName);
}

bool LogindStandIn::start(bool withLogind)
{
    QFile config(dir.filePath(QStringLiteral("bus.conf")));
    if (!dir.isValid() || !config.open(QIODevice::WriteOnly)) {
        error = QStringLiteral("no configuration file: ") + config.errorString();
        return false;
    }
    config.write(QString::fromLatin1(BusConfig).arg(dir.filePath(QStringLiteral("bus"))).toUtf8());
    config.close();

    daemon = new ChildProcess(this);
    // As root it says it cannot raise its file limit, every time: its words
    // are shown only when it does not start.
    const QString log = dir.filePath(QStringLiteral("bus.log"));
    daemon->setStandardErrorFile(log);
    daemon->start(QStringLiteral("dbus-daemon"),
                  { QStringLiteral("--config-file=") + config.fileName(),
                    QStringLiteral("--nofork"), QStringLiteral("--print-address") });
    // The address is printed once the bus listens.
    if (!daemon->waitForReadyRead(5000)) {
        QFile said(log);
        said.open(QIODevice::ReadOnly);
        error = QStringLiteral("dbus-daemon: ") + daemon->errorString() + QLatin1Char('\n')
                + QString::fromLocal8Bit(said.readAll());
        return false;
    }
    busAddress = QString::fromLocal8Bit(daemon->readLine().trimmed());

    static int count = 0;
    connectionName = QStringLiteral("logindstandin-%1").arg(++count);
    QDBusConnection bus = QDBusConnection::connectToBus(busAddress, connectionName);
    if (!bus.registerVirtualObject(ManagerPath, this, QDBusConnection::SubPath)) {
        error = QStringLiteral("not on the bus: ") + bus.lastError().message();
        return false;
    }
    if (withLogind)
        startLogind();
    return true;
}

void LogindStandIn::startLogind()
{
    QDBusConnection(connectionName).registerService(Login1);
}

QString LogindStandIn::userPath() const
{
    return ManagerPath + QStringLiteral("/user/_") + QString::number(::getuid());
}

QString LogindStandIn::sessionPath() const
{
    // As logind escapes an id that starts with a digit: "2" is "_32".
    return ManagerPath + QStringLiteral("/session/_3") + sessionId;
}

QVariantMap LogindStandIn::properties(const QString &path, const QString &interface) const
{
    if (path == userPath() && interface == UserInterface) {
        const SessionReference display = {
            sessionId, QDBusObjectPath(sessionId.isEmpty() ? QStringLiteral("/") : sessionPath())
        };
        return { { QStringLiteral("UID"), uint(::getuid()) },
                 { QStringLiteral("Display"), QVariant::fromValue(display) } };
    }
    if (!sessionId.isEmpty() && path == sessionPath() && interface == SessionInterface) {
        return { { QStringLiteral("Id"), sessionId },
                 { QStringLiteral("Type"), QStringLiteral("wayland") },
                 { QStringLiteral("State"),
                   active ? QStringLiteral("active") : QStringLiteral("online") },
                 { QStringLiteral("Active"), active },
                 { QStringLiteral("IdleHint"), idle },
                 { QStringLiteral("LockedHint"), locked } };
    }
    return {};
}

QString LogindStandIn::introspect(const QString &) const
{
    return QString();
}

bool LogindStandIn::handleMessage(const QDBusMessage &message, const QDBusConnection &connection)
{
    const QString member = message.member();
    const QVariantList in = message.arguments();
    QDBusMessage reply;
    if (message.interface() == ManagerInterface && member == QLatin1String("GetUser")) {
        reply = in.value(0).toUInt() == ::getuid()
                ? message.createReply(QVariant::fromValue(QDBusObjectPath(userPath())))
                : message.createErrorReply(QStringLiteral("org.freedesktop.login1.NoSuchUser"),
                                           QStringLiteral("No such user"));
    } else if (message.interface() == PropertiesInterface
               && (member == QLatin1String("Get") || member == QLatin1String("GetAll"))) {
        const QVariantMap all = properties(message.path(), in.value(0).toString());
        const QString name = in.value(1).toString();
        if (all.isEmpty())
            reply = message.createErrorReply(QDBusError::UnknownObject, message.path());
        else if (member == QLatin1String("GetAll"))
            reply = message.createReply(all);
        else if (all.contains(name))
            reply = message.createReply(QVariant::fromValue(QDBusVariant(all.value(name))));
        else
            reply = message.createErrorReply(QDBusError::UnknownProperty, name);
    } else {
        return false;
    }
    return connection.send(reply);
}

void LogindStandIn::emitSignal(const QString &path, const QString &interface, const QString &name,
                               const QVariantList &arguments)
{
    QDBusMessage signal = QDBusMessage::createSignal(path, interface, name);
    signal.setArguments(arguments);
    QDBusConnection(connectionName).send(signal);
}

void LogindStandIn::propertiesChanged(const QString &path, const QString &interface,
                                      const QVariantMap &changed)
{
    emitSignal(path, PropertiesInterface, QStringLiteral("PropertiesChanged"),
               { interface, changed, QStringList() });
}

void LogindStandIn::setDisplaySession(bool present)
{
    if (present == !sessionId.isEmpty())
        return;
    if (present) {
        sessionId = QString::number(++sessions);
        idle = locked = false;
        active = true;
        emitSignal(ManagerPath, ManagerInterface, QStringLiteral("SessionNew"),
                   { sessionId, QVariant::fromValue(QDBusObjectPath(sessionPath())) });
    } else {
        const QString id = sessionId;
        const QString path = sessionPath();
        propertiesChanged(path, SessionInterface,
                          { { QStringLiteral("State"), QStringLiteral("closing") } });
        sessionId.clear();
        emitSignal(ManagerPath, ManagerInterface, QStringLiteral("SessionRemoved"),
                   { id, QVariant::fromValue(QDBusObjectPath(path)) });
    }
    propertiesChanged(
            userPath(), UserInterface,
            { { QStringLiteral("Display"),
                properties(userPath(), UserInterface).value(QStringLiteral("Display")) } });
}

void LogindStandIn::setIdle(bool now)
{
    setHint(&idle, now, { { QStringLiteral("IdleHint"), now } });
}

void LogindStandIn::setLocked(bool now)
{
    setHint(&locked, now, { { QStringLiteral("LockedHint"), now } });
}

void LogindStandIn::setActive(bool now)
{
    setHint(&active, now,
            { { QStringLiteral("Active"), now },
              { QStringLiteral("State"),
                now ? QStringLiteral("active") : QStringLiteral("online") } });
}

void LogindStandIn::setHint(bool *hint, bool now, const QVariantMap &changed)
{
    if (*hint == now)
        return;
    *hint = now;
    if (!sessionId.isEmpty())
        propertiesChanged(sessionPath(), SessionInterface, changed);
}

void LogindStandIn::announceSleep(bool goingToSleep)
{
    emitSignal(ManagerPath, ManagerInterface, QStringLiteral("PrepareForSleep"), { goingToSleep });
}
