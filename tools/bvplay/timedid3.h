#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// Timed ID3 metadata in MPEG-TS segments, as broadcasters send now-playing text in HLS:
// an ID3v2 tag in a private-stream PES on PID 258, declared in the PMT as a metadata
// stream (type 0x15 with the ID3 metadata descriptor).
namespace TimedId3 {

constexpr int kPid = 258;

// An ID3v2.4 tag of UTF-8 text frames: (frame id, text). A "TXXX" frame gets the
// description "TXXX". With a timestamp, a PRIV frame carries it as packed audio's
// "com.apple.streaming.transportStreamTimestamp" (90 kHz, the segment's first sample).
QByteArray tag(const QList<QPair<QByteArray, QString>> &frames, qint64 transportStreamTimestamp = -1);

// `segment` with PID 258 declared in each of its PMTs and `tag` carried in a PES after the
// first PMT, timed at the segment's first audio PTS. Short packets are padded the way
// muxers do, with adaptation-field stuffing. A segment without a PMT is returned unchanged.
QByteArray insert(const QByteArray &segment, const QByteArray &tag);

} // namespace TimedId3
