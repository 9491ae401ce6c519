#include "audioserver.h"

#include "childprocess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QtTest>

#include <signal.h>

AudioServer::AudioServer(Kind kind, QObject *parent)
    : QObject(parent)
    , kind(kind)
{ }

AudioServer::~AudioServer()
{
    stop();
    if (QTest::currentTestFailed()) {
        QFile log(runtimeDir.filePath(QStringLiteral("server.log")));
        if (log.open(QIODevice::ReadOnly))
            qInfo().noquote() << "server log:\n"
                            + QString::fromLocal8Bit(log.readAll().right(8192));
    }
}

QProcessEnvironment AudioServer::environment() const
{
    // Built from nothing, so that nothing of the caller's own session (its
    // servers, its configuration directories, its Qt plugins) leaks in.
    const QProcessEnvironment caller = QProcessEnvironment::systemEnvironment();
    QProcessEnvironment env;
    for (const QString &name : { QStringLiteral("PATH"), QStringLiteral("LANG"),
                                 QStringLiteral("LC_ALL"), QStringLiteral("TMPDIR") }) {
        if (caller.contains(name))
            env.insert(name, caller.value(name));
    }
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir.path());
    env.insert(QStringLiteral("HOME"), runtimeDir.path());
    if (kind == PipeWire)
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                   QStringLiteral("unix:path=") + runtimeDir.filePath(QStringLiteral("bus")));
    return env;
}

QString AudioServer::address() const
{
    return QStringLiteral("unix:") + runtimeDir.filePath(QStringLiteral("pulse/native"));
}

QString AudioServer::errorString() const
{
    return error;
}

bool AudioServer::start(const QList<Sink> &startSinks, bool pulseProtocol)
{
    if (!runtimeDir.isValid()) {
        error = QStringLiteral("no temporary directory");
        return false;
    }
    QFile::setPermissions(runtimeDir.path(),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    sinks.clear();
    sinkModules.clear();

    if (kind == PulseAudio) {
        const QString script = runtimeDir.filePath(QStringLiteral("server.pa"));
        QFile file(script);
        if (!file.open(QIODevice::WriteOnly)) {
            error = file.errorString();
            return false;
        }
        // The command line protocol, to kill a stream.
        file.write("load-module module-native-protocol-unix auth-anonymous=1\n"
                   "load-module module-cli-protocol-unix\n");
        if (asDesktop)
            file.write("load-module module-stream-restore\n"
                       "load-module module-suspend-on-idle timeout=1\n");
        file.close();
        if (!launch(QStringLiteral("pulseaudio"),
                    { QStringLiteral("-n"), QStringLiteral("-F"), script,
                      QStringLiteral("--exit-idle-time=-1"), QStringLiteral("--daemonize=no"),
                      QStringLiteral("--use-pid-file=no"), QStringLiteral("--log-target=stderr") }))
            return false;
    } else {
        // WirePlumber moves every stream, recordings included, to a new default
        // sink by itself; with that off, a stream moves only when the program
        // moves it, which is what the tests want to see.
        const QString policy =
                runtimeDir.filePath(QStringLiteral(".config/wireplumber/policy.lua.d"));
        QFile file(policy + QStringLiteral("/90-steadytone-tests.lua"));
        if (!QDir().mkpath(policy) || !file.open(QIODevice::WriteOnly)) {
            error = file.errorString();
            return false;
        }
        if (!followsDefault)
            file.write("default_policy.policy[\"follow\"] = false\n");
        file.close();
        const QString bus =
                QStringLiteral("unix:path=") + runtimeDir.filePath(QStringLiteral("bus"));
        if (!launch(QStringLiteral("dbus-daemon"),
                    { QStringLiteral("--session"), QStringLiteral("--nofork"),
                      QStringLiteral("--address=") + bus })
            || !waitForFile(QStringLiteral("bus")) || !launch(QStringLiteral("pipewire"), {})
            || !waitForFile(QStringLiteral("pipewire-0"))
            || !launch(QStringLiteral("wireplumber"), {}))
            return false;
        if (!pulseProtocol)
            return true;
        // The pulse server creates its directory only when it finds none, and
        // gives up when a client polling for it (pactl) has created it first.
        const QString pulse = runtimeDir.filePath(QStringLiteral("pulse"));
        if (!QDir().mkpath(pulse)
            || !QFile::setPermissions(pulse, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)
            || !launch(QStringLiteral("pipewire-pulse"), {}))
            return false;
    }
    if (!waitForPulse())
        return false;
    for (const Sink &sink : startSinks) {
        if (!loadSink(sink))
            return false;
    }
    if (startSinks.isEmpty())
        return true;
    if (!setDefaultSink(startSinks.first().name))
        return false;
    // Left to itself, PulseAudio makes the default sink's monitor the default
    // source and moves recordings along with it when the default sink
    // changes; a chosen default source keeps each recorder where it is.
    return kind != PulseAudio
            || pactl(
                    { QStringLiteral("set-default-source"), startSinks.first().name + ".monitor" });
}

bool AudioServer::launch(const QString &program, const QStringList &arguments)
{
    auto *process = new ChildProcess(this);
    process->setProcessEnvironment(environment());
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->setStandardOutputFile(runtimeDir.filePath(QStringLiteral("server.log")),
                                   QIODevice::Append);
    processes.append(process);
    process->start(program, arguments);
    if (process->waitForStarted(5000))
        return true;
    error = program + QStringLiteral(": ") + process->errorString();
    return false;
}

bool AudioServer::waitUntil(const std::function<bool()> &what)
{
    QDeadlineTimer deadline(5000);
    while (!what()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(50);
    }
    return true;
}

bool AudioServer::waitForFile(const QString &name)
{
    if (waitUntil([&] { return QFile::exists(runtimeDir.filePath(name)); }))
        return true;
    error = name + QStringLiteral(" did not appear within 5 s");
    return false;
}

bool AudioServer::waitForPulse()
{
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        for (ChildProcess *process : qAsConst(processes)) {
            if (process->state() == QProcess::NotRunning) {
                error = process->program() + QStringLiteral(" exited; see ")
                        + runtimeDir.filePath(QStringLiteral("server.log"));
                return false;
            }
        }
        if (pactl({ QStringLiteral("info") }))
            return true;
        QThread::msleep(50);
    }
    error = QStringLiteral("the server did not answer within 10 s");
    return false;
}

void AudioServer::stop()
{
    // The pulse server first, the session bus last.
    while (!processes.isEmpty())
        delete processes.takeLast();
}

void AudioServer::signalPulseServer(int signal)
{
    if (!processes.isEmpty())
        ::kill(pid_t(processes.last()->processId()), signal);
}

bool AudioServer::restart(int downMs)
{
    const QList<Sink> current = sinks;
    stop();
    QTest::qWait(downMs);
    return start(current);
}

bool AudioServer::killStream(const QString &index)
{
    QString properties;
    if (kind == PipeWire) {
        // PipeWire's own tool destroys the stream's node, by its object id.
        if (!pactl({ QStringLiteral("list"), QStringLiteral("sink-inputs") }, &properties))
            return false;
        const QString section = properties.section(QStringLiteral("Sink Input #") + index, 1, 1);
        const QRegularExpressionMatch node =
                QRegularExpression(QStringLiteral("object.id = \"(\\d+)\"")).match(section);
        return node.hasMatch()
                && run(QStringLiteral("pw-cli"), { QStringLiteral("destroy"), node.captured(1) });
    }
    // PulseAudio's command line protocol, on its socket: pactl cannot kill
    // a stream, and pacmd needs a PID file.
    QLocalSocket cli;
    cli.connectToServer(runtimeDir.filePath(QStringLiteral("pulse/cli")));
    if (!cli.waitForConnected(5000)) {
        error = QStringLiteral("the command line protocol: ") + cli.errorString();
        return false;
    }
    cli.write("kill-sink-input " + index.toLatin1() + "\n");
    cli.waitForBytesWritten(5000);
    cli.disconnectFromServer();
    return true;
}

bool AudioServer::loadSink(const Sink &sink)
{
    QString index;
    QStringList arguments { QStringLiteral("load-module"),
                            QStringLiteral("module-null-sink"),
                            QStringLiteral("sink_name=") + sink.name,
                            QStringLiteral("format=s16le"),
                            QStringLiteral("rate=%1").arg(sink.rate),
                            QStringLiteral("channels=%1").arg(sink.channels) };
    if (!sink.description.isEmpty())
        arguments << QStringLiteral("sink_properties='device.description=\"%1\"'")
                             .arg(sink.description);
    const bool loaded = pactl(arguments, &index);
    if (!loaded)
        return false;
    sinks.append(sink);
    sinkModules.insert(sink.name, index.trimmed());
    // PipeWire creates the sink after the module has loaded: wait for it.
    const bool listed = waitUntil([&] {
        QString list;
        return pactl({ QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sinks") },
                     &list)
                && list.split(QLatin1Char('\n'))
                           .filter(QRegularExpression("^\\d+\\s" + sink.name + "\\s"))
                           .size()
                == 1;
    });
    if (!listed)
        error = QStringLiteral("sink %1 did not appear").arg(sink.name);
    return listed;
}
bool AudioServer::unloadSink(const QString &name)
{
    if (!pactl({ QStringLiteral("unload-module"), sinkModules.value(name) }))
        return false;
    sinkModules.remove(name);
    for (int i = 0; i < sinks.size(); ++i) {
        if (sinks.at(i).name == name)
            sinks.removeAt(i--);
    }
    return true;
}

bool AudioServer::setDefaultSink(const QString &name)
{
    // PipeWire's pulse server refuses ("Not supported") until the session
    // manager has published where defaults go, a moment after it starts.
    if (!waitUntil([&] { return pactl({ QStringLiteral("set-default-sink"), name }); }))
        return false;
    // Keep the default first, so a restart brings back the same default.
    for (int i = 0; i < sinks.size(); ++i) {
        if (sinks.at(i).name == name)
            sinks.move(i, 0);
    }
    return true;
}

bool AudioServer::pactl(const QStringList &arguments, QString *output)
{
    return run(QStringLiteral("pactl"), arguments, output);
}

bool AudioServer::run(const QString &tool, const QStringList &arguments, QString *output)
{
    QProcess process;
    process.setProcessEnvironment(environment());
    process.start(tool, arguments);
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished();
        error = QStringLiteral("%1 %2: no answer").arg(tool, arguments.join(' '));
        return false;
    }
    if (output)
        *output = QString::fromLocal8Bit(process.readAllStandardOutput());
    if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return true;
    error = QStringLiteral("%1 %2: %3")
                    .arg(tool, arguments.join(' '),
                         QString::fromLocal8Bit(process.readAllStandardError()).trimmed());
    return false;
}
