#pragma once

#include "bvplayback.h"

#include <QByteArray>

#include <atomic>
#include <mutex>

// The back-end for "record:N" URLs: recording device N captured into a push stream.
class BREVANTPLAYER_EXPORT BVRecordPlayback : public BVPlayback
{
    Q_OBJECT

public:
    explicit BVRecordPlayback(BVPlaybackHost *host, QObject *parent = nullptr);
    ~BVRecordPlayback() override;

public slots:
    quint32 start(quint64 startPos = 0) override;
    void stop() override;

protected:
    double speedCoef() override { return 1.0; }
    void resetAndFree();
    static int bassRecordProc(quint32 handle, const void *buffer, quint32 length, void *user);
    static void bassRecordDevFailSync(quint32 sync, quint32 channel, quint32 data, void *user);

private:
    // Recording thread: the stream blocks go to, 0 before it exists.
    quint32 targetStream() const;

    bool m_recordInitialized = false;
    int m_recordDevice = 0;
    quint32 m_recordChannel = 0;

    // The recording starts before its push stream exists: blocks of that moment wait here,
    // so none is lost, and go into the stream as soon as it is made.
    std::mutex m_pendingMutex;
    QByteArray m_pending;
    std::atomic<quint32> m_pushStream{0};
};
