#pragma once

#include <QList>
#include <QMetaType>
#include <QMultiHash>
#include <QUrl>

// Bitrate in bit/s to the stream URLs that play at it; one bitrate may carry several mirrors.
using BVPlaylistStreams = QMultiHash<quint32, QUrl>;

// Registers the interface's container types under the names the interface uses as well.
inline void bvRegisterPlaylistTypes()
{
    qRegisterMetaType<BVPlaylistStreams>("BVPlaylistStreams");
    qRegisterMetaType<QList<quint32>>("QList<quint32>");
}
