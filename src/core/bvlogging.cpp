#include "bvlogging.h"

// Created on first use; debug level and above are enabled.
Q_LOGGING_CATEGORY(bvLogCategory, "com.orlenza.brevantplayer", QtDebugMsg)

const QLoggingCategory &bvLog()
{
    return bvLogCategory();
}
