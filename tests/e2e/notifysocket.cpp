#include "notifysocket.h"

#include <QSocketNotifier>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

NotifySocket::NotifySocket(QObject *parent)
    : QObject(parent)
{
    clock.start();
    const QByteArray name = path().toLocal8Bit();
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (!dir.isValid() || size_t(name.size()) >= sizeof address.sun_path)
        return;
    qstrncpy(address.sun_path, name.constData(), sizeof address.sun_path);
    fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        fd = -1;
    }
    if (fd < 0)
        return;
    notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &NotifySocket::readAll);
}

NotifySocket::~NotifySocket()
{
    if (fd >= 0)
        ::close(fd);
}

QString NotifySocket::path() const
{
    return dir.filePath(QStringLiteral("notify"));
}

void NotifySocket::readAll()
{
    char buffer[1024];
    ssize_t got;
    while ((got = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
        for (const QByteArray &text : QByteArray(buffer, int(got)).split('\n'))
            received.append({ clock.elapsed(), text });
    }
}

QStringList NotifySocket::statuses() const
{
    QStringList texts;
    for (const Field &field : received) {
        if (field.text.startsWith("STATUS="))
            texts << QString::fromUtf8(field.text.mid(7));
    }
    return texts;
}

QString NotifySocket::readyStatus() const
{
    bool ready = false;
    for (const Field &field : received) {
        ready = ready || field.text == "READY=1";
        if (ready && field.text.startsWith("STATUS="))
            return QString::fromUtf8(field.text.mid(7));
    }
    return QString();
}
