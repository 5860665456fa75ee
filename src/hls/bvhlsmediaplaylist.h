#pragma once

#include "bvhlschunk.h"

#include <QByteArray>
#include <QUrl>

// The pure part of polling an HLS media playlist: its segments and the poll interval
// they call for. No network, no state.
namespace BVHlsMediaPlaylist {

// More entries than any live window holds are ignored.
constexpr int kMaxSegments = 1000;

// The segments of a media playlist fetched from `url` (after redirects), of `bitrate`,
// keyed by media sequence number. Only http and https segment URLs are taken.
BREVANTPLAYER_EXPORT BVHlsChunks chunks(const QByteArray &body, const QUrl &url, quint32 bitrate);

// The longest poll interval in ms, whatever durations a playlist claims.
constexpr int kMaxPollInterval = 60000;

// The poll interval in ms: the average segment duration (half of a single segment's),
// 1000 when that is 100 ms or less, at most kMaxPollInterval.
BREVANTPLAYER_EXPORT int pollInterval(const BVHlsChunks &chunks);

} // namespace BVHlsMediaPlaylist
