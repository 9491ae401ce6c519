#include "audioout.h"
#include "service.h"

#include <QCoreApplication>
#include <QStringList>

int main(int argc, char *argv[])
{
    // Before the application object, which may take arguments out of argv.
    Service service(argc, argv);
    QCoreApplication app(argc, argv);

    // Values that do not convert become 0, which AudioOut replaces with its
    // defaults.
    const QStringList args = app.arguments();
    const int frequency = args.size() >= 2 ? args.at(1).toInt(nullptr, 10) : 0;
    const double volume = args.size() >= 3 ? args.at(2).toDouble() : 0.0;

    AudioOut audioOut(frequency, volume, nullptr);
    QObject::connect(&audioOut, &AudioOut::checked, &service, &Service::notifyAlive);
    QObject::connect(&audioOut, &AudioOut::restartNeeded, &service, &Service::restart);
    // The first check has run: playback has started, or waits for a device.
    service.notifyReady();
    return app.exec();
}
