#pragma once

#include "bvplaylisttypes.h"

#include <QByteArray>
#include <QUrl>

// The pure part of playlist parsing: classification of a resource's first
// bytes and the streams each kind of list names. No network, no state.
namespace BVPlaylistFormats {

enum class Kind { HlsMaster, HlsMedia, JsonMaster, Plain };

// What the first bytes of a resource are (byte-exact, case-sensitive tests).
Kind classify(const QByteArray &data);

// Variants of an HLS multivariant playlist fetched from `playlistUrl` (the final URL after redirects).
BVPlaylistStreams hlsMasterStreams(const QByteArray &data, const QUrl &playlistUrl);

// The "#BANDWIDTH:" of an HLS media playlist, or `fallback`.
quint32 hlsMediaBitrate(const QByteArray &data, quint32 fallback);

// The entries of a JSON master list: an array of objects with "streamUrl" and "bandwidth".
BVPlaylistStreams jsonMasterStreams(const QByteArray &data);

// An "icy-br" header value (kbit/s) in bit/s, or `fallback`.
quint32 icyBitrate(const QByteArray &header, quint32 fallback);

// `streams` without the entries a list from `listUrl` may not name; `refused` counts them.
// A list from the network names network streams (http, https) only; a local list the host
// handed in may name local files too.
BVPlaylistStreams allowedEntries(const BVPlaylistStreams &streams, const QUrl &listUrl, int *refused);

// Whether the URL's name says it is a list (.m3u, .m3u8, .pls, .json, .xspf, .asx …),
// case-insensitively; used only as a hint before the content is known.
bool namePromisesList(const QUrl &url);

} // namespace BVPlaylistFormats
