#pragma once

#include <QtCore/qglobal.h>

#if defined(BREVANTPLAYER_LIBRARY)
#define BREVANTPLAYER_EXPORT Q_DECL_EXPORT
#else
#define BREVANTPLAYER_EXPORT Q_DECL_IMPORT
#endif
