// HLS test media: segments made with ffmpeg's muxers, timed ID3 tags added the way
// broadcasters send them, and media playlists written by the test.
#pragma once

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QStringList>

namespace bvtest {

// How segments carry their audio: MPEG-TS, packed audio (raw ADTS AAC or MP3), or
// fragmented MP4 after an initialisation segment.
enum class HlsFormat { Ts, Packed, Fmp4 };

// One segment of `seconds` per frequency, cut by ffmpeg's HLS muxer (its segment muxer for
// packed audio) from one continuous encoding, so they join without a gap; `codecArgs` pick
// the audio codec; an fMP4 initialisation segment goes to `init`. Empty on failure.
QList<QByteArray> makeHlsSegments(const QList<double> &frequencies, double seconds,
                                  const QStringList &codecArgs = {"-c:a", "aac", "-b:a", "64k"},
                                  HlsFormat format = HlsFormat::Ts, QByteArray *init = nullptr);

// `segment` carrying a timed ID3 tag with `text` in a TXXX frame: in a PES timed at its
// first audio for TS; opening it, with `pts` as its PRIV timestamp, for packed audio.
QByteArray withTitle(const QByteArray &segment, const QString &text, HlsFormat format = HlsFormat::Ts,
                     qint64 pts = 0);

// A media playlist of `uris`, each `seconds` long, numbered from `firstSequence`; the
// entries whose index is in `discontinuities` follow an #EXT-X-DISCONTINUITY tag; `map`
// names an initialisation segment for all.
QByteArray mediaPlaylist(quint64 firstSequence, const QList<QByteArray> &uris, double seconds,
                         const QSet<int> &discontinuities = {}, const QByteArray &map = {});

} // namespace bvtest
