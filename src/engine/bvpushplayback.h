#pragma once

#include "bvplayback.h"

#include <QIODevice>

#include <atomic>

// A write-only device whose writes are queued on the player's push stream:
// interleaved stereo 16-bit PCM at 44100 Hz, from any thread.
class BREVANTPLAYER_EXPORT BVPushPlaybackDevice : public QIODevice
{
    Q_OBJECT

public:
    using QIODevice::QIODevice;
    void setHandle(quint32 handle) { m_handle = handle; }

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;

private:
    std::atomic<quint32> m_handle{0};
};

// The back-end for "push" URLs: an engine push stream fed by the host.
class BREVANTPLAYER_EXPORT BVPushPlayback : public BVPlayback
{
    Q_OBJECT

public:
    explicit BVPushPlayback(BVPlaybackHost *host, QObject *parent = nullptr);
    QPointer<BVPushPlaybackDevice> pushPlaybackDevice() const { return m_device; }

public slots:
    quint32 start(quint64 startPos = 0) override;
    void stop() override;

protected:
    double speedCoef() override { return 1.0; }

private:
    BVPushPlaybackDevice *m_device;
};
