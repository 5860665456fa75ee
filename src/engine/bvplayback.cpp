#include "bvplayback.h"

#include "bvlogging.h"
#include "bvplayer.h"
#include "bvpropertyupdate.h"

BVPlayback::BVPlayback(BVPlayer *player, QObject *parent)
    : QObject(parent ? parent : player), m_player(player), m_bitrateTimer(new QTimer(this))
{
    m_bitrateTimer->setInterval(500);
    connect(m_bitrateTimer, &QTimer::timeout, this, qOverload<>(&BVPlayback::updateBitrateCoef));
}

quint32 BVPlayback::start(quint64)
{
    if (m_player)
        m_bitrateTimer->start();
    return 0;
}

void BVPlayback::stop()
{
    m_bitrateTimer->stop();
    emit metaUpdated(QString());
    updateCurrentBitrate(0);
}

void BVPlayback::updateBitrateCoef()
{
    if (!m_player)
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
    const quint32 bitrate = m_player->bitrateByCoef(coef);
    if (bitrate != m_currentBitrate) {
        qCDebug(bvLog) << m_player->playerName() << "Change bitrate to:" << bitrate;
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
