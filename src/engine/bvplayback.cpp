#include "bvplayback.h"

#include "bass.h"
#include "bvbass.h"
#include "bvclock.h"
#include "bvlogging.h"
#include "bvpropertyupdate.h"

BVPlayback::BVPlayback(BVPlaybackHost *host, QObject *parent)
    : QObject(parent ? parent : BVPlaybackHost::objectOf(host)), m_host(host), m_bitrateTimer(new QTimer(this))
{
    m_bitrateTimer->setInterval(500);
    connect(m_bitrateTimer, &QTimer::timeout, this, qOverload<>(&BVPlayback::updateBitrateCoef));
}

quint32 BVPlayback::start(quint64)
{
    if (m_host)
        BVClock::start(m_bitrateTimer);
    return 0;
}

void BVPlayback::startInBackground(quint64 startPos)
{
    supersedeStarts();
    const quint32 handle = start(startPos);
    reportStarted(handle, handle ? QString() : BVBass::errorMessage()); // the error of that start
}

void BVPlayback::reportStarted(quint32 handle, const QString &errorMessage)
{
    QMetaObject::invokeMethod(this, [this, serial = m_startSerial, handle, errorMessage] {
        if (serial == m_startSerial)
            emit started(handle, errorMessage);
        else if (handle)
            BASS_StreamFree(handle);
    }, Qt::QueuedConnection);
}

void BVPlayback::stop()
{
    supersedeStarts();
    m_bitrateTimer->stop();
    emit metaUpdated(QString());
    updateCurrentBitrate(0);
}

void BVPlayback::updateBitrateCoef()
{
    if (!m_host)
        return;
    const double window = m_speedCoefWindow;
    double removed = 0.0;
    if (m_speedCoefs.size() >= m_speedCoefWindow)
        removed = m_speedCoefs.dequeue();
    const double speed = speedCoef();
    m_speedCoefs.enqueue(speed);
    m_speedCoefAverage = m_speedCoefAverage - removed / window + speed / window;
    if (m_speedCoefs.size() < m_speedCoefWindow)
        return;

    double coef = m_bitrateCoef + (m_speedCoefAverage > m_speedCoefThreshold ? m_bitrateCoefStep : -m_bitrateCoefStep);
    if (!(coef > 0.0))
        coef = 0.0;
    if (!(coef < 1.0))
        coef = 1.0;
    updateBitrateCoef(coef);
    const quint32 bitrate = m_host->bitrateByCoef(coef);
    if (bitrate != m_currentBitrate) {
        qCDebug(bvLog) << m_host->playerName() << "Change bitrate to:" << bitrate;
        updateCurrentBitrate(bitrate);
        emit restartRequired(bitrate);
    }
}

void BVPlayback::restartAdaptation()
{
    m_speedCoefs.clear();
    m_speedCoefAverage = 0.0;
}

bool BVPlayback::updateCurrentBitrate(quint32 currentBitrate)
{
    return bvUpdateProperty(this, m_currentBitrate, currentBitrate, &BVPlayback::currentBitrateChanged);
}

bool BVPlayback::updateBitrateCoef(double bitrateCoef)
{
    return bvUpdateProperty(this, m_bitrateCoef, bitrateCoef, &BVPlayback::bitrateCoefChanged);
}
