// HLS test media: MPEG-TS segments made with ffmpeg's HLS muxer, timed ID3 tags added
// the way broadcasters send them, and media playlists written by the test.
#pragma once

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QStringList>

namespace bvtest {

// One segment of `seconds` per frequency, cut by ffmpeg's HLS muxer from one continuous
// encoding (so they join without a gap); `codecArgs` pick the audio codec. Empty on failure.
QList<QByteArray> makeHlsSegments(const QList<double> &frequencies, double seconds,
                                  const QStringList &codecArgs = {"-c:a", "aac", "-b:a", "64k"});

// `segment` carrying a timed ID3 tag with `text` in a TXXX frame.
QByteArray withTitle(const QByteArray &segment, const QString &text);

// A media playlist of `uris`, each `seconds` long, numbered from `firstSequence`; the
// entries whose index is in `discontinuities` follow an #EXT-X-DISCONTINUITY tag.
QByteArray mediaPlaylist(quint64 firstSequence, const QList<QByteArray> &uris, double seconds,
                         const QSet<int> &discontinuities = {});

} // namespace bvtest
