#ifndef NOTIFYSOCKET_H
#define NOTIFYSOCKET_H

#include <QByteArrayList>
#include <QElapsedTimer>
#include <QObject>
#include <QTemporaryDir>

class QSocketNotifier;

// Stands in for systemd: the datagram socket NOTIFY_SOCKET names, and every
// field the program sends there, timed.
class NotifySocket : public QObject
{
    Q_OBJECT

public:
    struct Field
    {
        qint64 atMs = 0; // since the socket was made
        QByteArray text;
    };

    explicit NotifySocket(QObject *parent = nullptr);
    ~NotifySocket() override;

    bool isValid() const { return fd >= 0; }
    // What NOTIFY_SOCKET is set to.
    QString path() const;
    // Milliseconds since the socket was made, by which fields are timed.
    qint64 elapsed() const { return clock.elapsed(); }
    QList<Field> fields() const { return received; }
    // The STATUS= texts, in order; the first one READY=1 came with, or an
    // empty string while it has not come.
    QStringList statuses() const;
    QString readyStatus() const;

private:
    void readAll();

    QTemporaryDir dir;
    int fd = -1;
    QSocketNotifier *notifier = nullptr;
    QElapsedTimer clock;
    QList<Field> received;
};

#endif // NOTIFYSOCKET_H
