#ifndef CHILDPROCESS_H
#define CHILDPROCESS_H

#include <QProcess>

// A process the tests start and always end again: it dies with the test
// process, and its destructor ends it (and, with its own session, every
// process it started) if it is still running.
class ChildProcess : public QProcess
{
    Q_OBJECT

public:
    explicit ChildProcess(QObject *parent = nullptr);
    ~ChildProcess() override;

    // Put the child in a session of its own, so terminate() reaches the
    // processes it starts too.
    void setOwnSession(bool own);
    // SIGTERM, then SIGKILL if it has not ended within timeoutMs.
    void terminateAndWait(int timeoutMs = 3000);

protected:
    void setupChildProcess() override;

private:
    bool ownSession = false;
};

#endif // CHILDPROCESS_H
