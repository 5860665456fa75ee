#pragma once

#include "bvglobal.h"

#include <QLoggingCategory>

// The one logging category every line of the library goes to.
BREVANTPLAYER_EXPORT const QLoggingCategory &bvLog();
