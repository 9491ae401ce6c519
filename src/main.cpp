#include "audioout.h"

#include <QCoreApplication>
#include <QStringList>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);

    // Values that do not convert become 0, which AudioOut replaces with its
    // defaults.
    const QStringList args = app.arguments();
    const int frequency = args.size() >= 2 ? args.at(1).toInt(nullptr, 10) : 0;
    const double volume = args.size() >= 3 ? args.at(2).toDouble() : 0.0;

    AudioOut audioOut(frequency, volume, nullptr);
    return app.exec();
}
