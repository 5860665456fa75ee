#include "bvbackgroundstream.h"

#include "bass.h"
#include "bvbass.h"

#include <QThreadPool>

namespace {

struct CreationPool : QThreadPool {
    CreationPool()
    {
        setMaxThreadCount(64);
        setExpiryTimeout(2000); // idle workers leave soon: a player that plays needs none
    }
};

} // namespace

QThreadPool &BVBackgroundStream::pool()
{
    static CreationPool pool; // waits for running creations when the process ends
    return pool;
}

std::shared_ptr<BVBackgroundStream> BVBackgroundStream::launch(QObject *receiver, Create create, Done done)
{
    std::shared_ptr<BVBackgroundStream> creation(new BVBackgroundStream(receiver));
    creation->m_done = std::move(done);
    pool().start([creation, create = std::move(create)] {
        const quint32 handle = create();
        const QString error = BVBass::errorMessage();
        std::unique_lock lock(creation->m_mutex);
        QObject *receiver = creation->m_receiver;
        if (!receiver) { // abandoned meanwhile: the stream goes at once
            lock.unlock();
            if (handle)
                BASS_StreamFree(handle);
            return;
        }
        creation->m_handle = handle;
        creation->m_error = error;
        // The receiver is alive while the lock is held (abandoning takes it too); the event dies with it.
        QMetaObject::invokeMethod(receiver, [creation] { creation->deliver(); }, Qt::QueuedConnection);
    });
    return creation;
}

void BVBackgroundStream::deliver()
{
    quint32 handle = 0;
    {
        std::lock_guard lock(m_mutex);
        if (!m_receiver)
            return;
        m_receiver = nullptr; // delivered once
        handle = std::exchange(m_handle, 0);
    }
    m_done(handle, m_error);
}

void BVBackgroundStream::abandon()
{
    quint32 handle = 0;
    {
        std::lock_guard lock(m_mutex);
        m_receiver = nullptr;
        handle = std::exchange(m_handle, 0);
    }
    if (handle)
        BASS_StreamFree(handle);
}

BVBackgroundStream::~BVBackgroundStream()
{
    if (m_handle) // delivered to a receiver destroyed without abandoning it
        BASS_StreamFree(m_handle);
}
