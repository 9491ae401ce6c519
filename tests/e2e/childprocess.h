#ifndef CHILDPROCESS_H
#define CHILDPROCESS_H

#include <QProcess>

// A process the tests start and always end again: the kernel ends it when the
// test process dies, however it dies, and its destructor ends it otherwise.
class ChildProcess : public QProcess
{
    Q_OBJECT

public:
    explicit ChildProcess(QObject *parent = nullptr);
    ~ChildProcess() override;

    // SIGTERM, then SIGKILL if it has not ended within timeoutMs.
    void terminateAndWait(int timeoutMs = 3000);

protected:
    void setupChildProcess() override;
};

#endif // CHILDPROCESS_H
