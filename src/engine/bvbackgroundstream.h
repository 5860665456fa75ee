#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <mutex>

class QThreadPool;

// An engine stream created on a worker thread: creations wait on the network and must not
// hold a host's thread. The result reaches the receiver's thread through `done`, unless the
// creation was abandoned first; a stream nobody takes is freed as soon as nobody can.
class BVBackgroundStream
{
public:
    using Create = std::function<quint32()>;
    using Done = std::function<void(quint32 handle, const QString &error)>;

    // The workers of every background creation. The engine bounds each creation by its
    // connect time-out, so the pool never holds a thread for long.
    static QThreadPool &pool();

    static std::shared_ptr<BVBackgroundStream> launch(QObject *receiver, Create create, Done done);
    // Nothing reaches the receiver any more; a stream created, or still to be, is freed.
    void abandon();
    ~BVBackgroundStream();

private:
    explicit BVBackgroundStream(QObject *receiver) : m_receiver(receiver) {}
    void deliver();

    std::mutex m_mutex;
    QObject *m_receiver; // null once abandoned
    quint32 m_handle = 0;
    QString m_error;
    Done m_done;
};
