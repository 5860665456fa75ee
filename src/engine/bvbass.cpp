#include "bvbass.h"

#include "bass.h"
#include "bvlogging.h"

#include "bvrequestidentity.h"

#include <QHash>

namespace BVBass {

int outputDevice = -1;

namespace {

void loadPlugin(const char *name, const char *failureText, bool &anyFailed)
{
    if (!BASS_PluginLoad(name, 0)) {
        qCWarning(bvLog) << failureText << errorMessage();
        anyFailed = true;
    }
}

// Logs the new value, sets the option and logs a failure.
template <typename T>
void setOption(DWORD option, T value, const char *debugText, const char *warningText)
{
    qCDebug(bvLog) << debugText << value;
    if (!BASS_SetConfig(option, static_cast<DWORD>(value)))
        qCWarning(bvLog) << warningText << errorMessage();
}

} // namespace

void configInit()
{
    bool anyFailed = false;
    loadPlugin("bassopus", "Can not load bassopus plugin", anyFailed);
    loadPlugin("basshls", "Can not load basshls plugin", anyFailed);
    if (anyFailed) {
        const auto *path = static_cast<const char *>(BASS_GetConfigPtr(BASS_CONFIG_FILENAME));
        qCDebug(bvLog) << "Plugin search BASS_CONFIG_FILENAME" << QString::fromUtf8(path ? path : "");
    }
    if (!BASS_SetConfig(BASS_CONFIG_NET_READTIMEOUT, 10000))
        qCCritical(bvLog) << "Can not set net read timeout" << errorMessage();
    if (!BASS_SetConfig(BASS_CONFIG_NET_PLAYLIST, 2))
        qCCritical(bvLog) << "Can not set net playlist mode" << errorMessage();
}

void init()
{
    if (BASS_Init(outputDevice, 44100, 0, nullptr, nullptr))
        return;
    const int code = BASS_ErrorGetCode();
    if (code != BASS_ERROR_ALREADY)
        qCCritical(bvLog) << "Can not initialize BASS device" << errorCodeToString(code);
}

void free()
{
    if (BASS_Free())
        return;
    const int code = BASS_ErrorGetCode();
    if (code != BASS_ERROR_INIT)
        qCWarning(bvLog) << "Can not free bass" << errorCodeToString(code);
}

QString errorCodeToString(int code)
{
    static const QHash<int, const char *> texts{
        {-1, "BASS_ERROR_UNKNOWN - some other mystery problem"},
        {0, "BASS_OK - all is OK"},
        {1, "BASS_ERROR_MEM - memory error"},
        {2, "BASS_ERROR_FILEOPEN - can't open the file"},
        {3, "BASS_ERROR_DRIVER - can't find a free/valid driver"},
        {4, "BASS_ERROR_BUFLOST - the sample buffer was lost"},
        {5, "BASS_ERROR_HANDLE - invalid handle"},
        {6, "BASS_ERROR_FORMAT - unsupported sample format"},
        {7, "BASS_ERROR_POSITION - invalid position"},
        {8, "BASS_ERROR_INIT - BASS_Init has not been successfully called"},
        {9, "BASS_ERROR_START - BASS_Start has not been successfully called"},
        {10, "BASS_ERROR_SSL - SSL/HTTPS support isn't available"},
        {14, "BASS_ERROR_ALREADY - already initialized/paused/whatever"},
        {17, "BASS_ERROR_NOTAUDIO - file does not contain audio"},
        {18, "BASS_ERROR_NOCHAN - can't get a free channel"},
        {19, "BASS_ERROR_ILLTYPE - an illegal type was specified"},
        {20, "BASS_ERROR_ILLPARAM - an illegal parameter was specified"},
        {21, "BASS_ERROR_NO3D - no 3D support"},
        {22, "BASS_ERROR_NOEAX - no EAX support"},
        {23, "BASS_ERROR_DEVICE - illegal device number"},
        {24, "BASS_ERROR_NOPLAY - not playing"},
        {25, "BASS_ERROR_FREQ - illegal sample rate"},
        {27, "BASS_ERROR_NOTFILE - the stream is not a file stream"},
        {29, "BASS_ERROR_NOHW - no hardware voices available"},
        {31, "BASS_ERROR_EMPTY - the MOD music has no sequence data"},
        {32, "BASS_ERROR_NONET - no internet connection could be opened"},
        {33, "BASS_ERROR_CREATE - couldn't create the file"},
        {34, "BASS_ERROR_NOFX - effects are not available"},
        {37, "BASS_ERROR_NOTAVAIL - requested data/action is not available"},
        {38, "BASS_ERROR_DECODE - the channel is/isn't a decoding channel"},
        {39, "BASS_ERROR_DX - a sufficient DirectX version is not installed"},
        {40, "BASS_ERROR_TIMEOUT - connection timedout"},
        {41, "BASS_ERROR_FILEFORM - unsupported file format"},
        {42, "BASS_ERROR_SPEAKER - unavailable speaker"},
        {43, "BASS_ERROR_VERSION - invalid BASS version (used by add-ons)"},
        {44, "BASS_ERROR_CODEC - codec is not available/supported"},
        {45, "BASS_ERROR_ENDED - the channel/file has ended"},
        {46, "BASS_ERROR_BUSY - the device is busy"},
        {47, "BASS_ERROR_UNSTREAMABLE - unstreamable file"},
    };
    if (const char *text = texts.value(code, nullptr))
        return QString::fromLatin1(text);
    return QStringLiteral("UNKNOW_BASS_ERROR_CODE - unknow bass error code number ") + QString::number(code);
}

QString errorMessage()
{
    return errorCodeToString(BASS_ErrorGetCode());
}

QByteArray formatStreamUrl(const QUrl &url, const QString &userAgent, const QString &referer,
                           const QString &tessaraUserId, const QString &tessaraUtmMark)
{
    QString text = BVRequestIdentity::withStatisticsItems(url, tessaraUserId, tessaraUtmMark).toString();
    if (!userAgent.isEmpty())
        text += QStringLiteral("\r\nUser-Agent: ") + userAgent;
    const QString effectiveReferer = BVRequestIdentity::effectiveReferer(referer, tessaraUtmMark);
    if (!effectiveReferer.isEmpty())
        text += QStringLiteral("\r\nReferer: ") + effectiveReferer;
    const QByteArray authorization = BVRequestIdentity::basicAuthorization(url);
    if (!authorization.isEmpty())
        text += QStringLiteral("\r\nAuthorization: ") + QString::fromLatin1(authorization);
    text += QStringLiteral("\r\n");
    return text.toUtf8();
}

QString netAgent()
{
    const auto *agent = static_cast<const char *>(BASS_GetConfigPtr(BASS_CONFIG_NET_AGENT));
    return QString::fromUtf8(agent ? agent : "");
}

void setNetAgent(const QString &agent)
{
    qCDebug(bvLog) << "Update bass net agent" << agent;
    const QByteArray bytes = agent.toUtf8();
    if (!BASS_SetConfigPtr(BASS_CONFIG_NET_AGENT, bytes.constData()))
        qCWarning(bvLog) << "Can not update bass net agent" << errorMessage();
}

quint32 netBuffer()
{
    return BASS_GetConfig(BASS_CONFIG_NET_BUFFER);
}

void setNetBuffer(quint32 ms)
{
    setOption(BASS_CONFIG_NET_BUFFER, ms, "Update bass net buffer", "Can not update bass net buffer");
}

quint32 netPrebuf()
{
    return BASS_GetConfig(BASS_CONFIG_NET_PREBUF);
}

void setNetPrebuf(quint32 percent)
{
    setOption(BASS_CONFIG_NET_PREBUF, percent, "Update bass net prebuf", "Can not update bass net prebuf");
}

bool netPrebufWait()
{
    return BASS_GetConfig(BASS_CONFIG_NET_PREBUF_WAIT) != 0;
}

void setNetPrebufWait(bool wait)
{
    setOption(BASS_CONFIG_NET_PREBUF_WAIT, wait, "Update bass net prebuf wait", "Can not update bass net prebuf wait");
}

int timeoutMs()
{
    return static_cast<int>(BASS_GetConfig(BASS_CONFIG_NET_TIMEOUT));
}

void setTimeoutMs(int ms)
{
    setOption(BASS_CONFIG_NET_TIMEOUT, ms, "Update bass net timeout", "Can not update bass net timeout");
}

int readTimeoutMs()
{
    return static_cast<int>(BASS_GetConfig(BASS_CONFIG_NET_READTIMEOUT));
}

void setReadTimeoutMs(int ms)
{
    setOption(BASS_CONFIG_NET_READTIMEOUT, ms, "Update bass net read timeout", "Can not update bass net read timeout");
}

quint32 verifyNetSize()
{
    return BASS_GetConfig(BASS_CONFIG_VERIFY_NET);
}

void setVerifyNetSize(quint32 bytes)
{
    if (!BASS_SetConfig(BASS_CONFIG_VERIFY_NET, bytes))
        qCWarning(bvLog) << "Can not set net verify size" << errorMessage();
}

} // namespace BVBass
