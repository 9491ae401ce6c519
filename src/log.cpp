#include "log.h"

Q_LOGGING_CATEGORY(lcTone, "steadytone")
