#pragma once

#include <QtCore/qglobal.h>

#define BREVANTPLAYER_VERSION "8.0.22"

#if defined(BREVANTPLAYER_LIBRARY)
#define BREVANTPLAYER_EXPORT Q_DECL_EXPORT
#else
#define BREVANTPLAYER_EXPORT Q_DECL_IMPORT
#endif
