#pragma once

#include "bvglobal.h"
#include "bvplaybackhost.h"

#include <QQueue>
#include <QTimer>

// Base of the playback back-ends: the bitrate being played, and the bitrate
// coefficient that a periodic step moves with the measured delivery speed.
class BREVANTPLAYER_EXPORT BVPlayback : public QObject
{
    Q_OBJECT
    Q_PROPERTY(quint32 currentBitrate READ currentBitrate NOTIFY currentBitrateChanged)
    Q_PROPERTY(double bitrateCoef READ bitrateCoef NOTIFY bitrateCoefChanged)

public:
    explicit BVPlayback(BVPlaybackHost *host, QObject *parent = nullptr);

    quint32 currentBitrate() const { return m_currentBitrate; }
    double bitrateCoef() const { return m_bitrateCoef; }

signals:
    void currentBitrateChanged(quint32 currentBitrate);
    void bitrateCoefChanged(double bitrateCoef);
    void metaUpdated(QString meta);
    void restartRequired(quint32 newBitrate);
    // The result of startInBackground(): the new, not yet playing channel (0 on failure) and
    // the engine's error text. It always comes after the call returned, and never after a stop().
    void started(quint32 handle, QString errorMessage);

public slots:
    // Returns the handle of a new, not yet playing channel, 0 on failure.
    virtual quint32 start(quint64 startPos = 0);
    // The one way a player starts a back-end: the result comes through started(). Here the
    // channel opens at once with start(); back-ends that wait on a server open it on a worker.
    virtual void startInBackground(quint64 startPos = 0);
    virtual void stop();

protected slots:
    // The adaptation step, every 500 ms while started.
    virtual void updateBitrateCoef();
    bool updateCurrentBitrate(quint32 currentBitrate);
    bool updateBitrateCoef(double bitrateCoef);
    // Empties the window of speed samples: the next step comes when it is full again.
    void restartAdaptation();

protected:
    // How fast data currently arrives; the window mean is compared with the threshold.
    virtual double speedCoef() = 0;
    // A new start begins: results reported for earlier ones are dropped.
    void supersedeStarts() { ++m_startSerial; }
    // Emits started() from the event loop, unless a stop() or another start comes first;
    // then a channel it carries is freed.
    void reportStarted(quint32 handle, const QString &errorMessage);

    BVPlaybackHostRef m_host;
    QTimer *m_bitrateTimer;
    int m_speedCoefWindow = 20;
    double m_speedCoefThreshold = 0.5;
    double m_bitrateCoefStep = 0.01;

private:
    quint32 m_currentBitrate = 0;
    double m_bitrateCoef = 1.0;
    QQueue<double> m_speedCoefs;
    double m_speedCoefAverage = 0.0;
    quint64 m_startSerial = 0; // moves on with every start and stop: older results are dropped
};
