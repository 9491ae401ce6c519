#include "arguments.h"
#include "audioout.h"
#include "service.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    // Before the application object, which may take arguments out of argv.
    Service service(argc, argv);
    QCoreApplication app(argc, argv);

    const Arguments arguments(app.arguments());
    AudioOut audioOut(arguments.frequency, arguments.volume, nullptr);
    QObject::connect(&audioOut, &AudioOut::checked, &service, &Service::notifyAlive);
    QObject::connect(&audioOut, &AudioOut::restartNeeded, &service, &Service::restart);
    // The first check has run: playback has started, or waits for a device.
    service.notifyReady();
    return app.exec();
}
