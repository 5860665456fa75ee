#pragma once

#include "bvglobal.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

// Process-wide audio engine runtime: plug-ins and fixed network options,
// the output device, the host's engine network settings, error texts and the
// URL-plus-headers string for streams the engine downloads itself.
namespace BVBass {

// Output device opened by init(): -1 the default device, 0 no sound, 1.. a device.
BREVANTPLAYER_EXPORT extern int outputDevice;

BREVANTPLAYER_EXPORT void configInit();
BREVANTPLAYER_EXPORT void init();
BREVANTPLAYER_EXPORT void free();

BREVANTPLAYER_EXPORT QString errorCodeToString(int code);
BREVANTPLAYER_EXPORT QString errorMessage();

BREVANTPLAYER_EXPORT QByteArray formatStreamUrl(const QUrl &url, const QString &userAgent, const QString &referer,
                                                const QString &tessaraUserId, const QString &tessaraUtmMark);

BREVANTPLAYER_EXPORT QString netAgent();
BREVANTPLAYER_EXPORT void setNetAgent(const QString &agent);
BREVANTPLAYER_EXPORT quint32 netBuffer();
BREVANTPLAYER_EXPORT void setNetBuffer(quint32 ms);
BREVANTPLAYER_EXPORT quint32 netPrebuf();
BREVANTPLAYER_EXPORT void setNetPrebuf(quint32 percent);
BREVANTPLAYER_EXPORT bool netPrebufWait();
BREVANTPLAYER_EXPORT void setNetPrebufWait(bool wait);
BREVANTPLAYER_EXPORT int timeoutMs();
BREVANTPLAYER_EXPORT void setTimeoutMs(int ms);
BREVANTPLAYER_EXPORT int readTimeoutMs();
BREVANTPLAYER_EXPORT void setReadTimeoutMs(int ms);
BREVANTPLAYER_EXPORT quint32 verifyNetSize();
BREVANTPLAYER_EXPORT void setVerifyNetSize(quint32 bytes);

} // namespace BVBass
