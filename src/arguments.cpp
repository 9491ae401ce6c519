#include "arguments.h"

Arguments::Arguments(const QStringList &arguments)
    : frequency(arguments.size() >= 2 ? arguments.at(1).toInt(nullptr, 10) : 0)
    , volume(arguments.size() >= 3 ? arguments.at(2).toDouble() : 0.0)
{ }
