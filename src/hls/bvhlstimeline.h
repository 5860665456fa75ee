#pragma once

#include "bvglobal.h"

// Where the segments of one engine stream, and the texts timed inside them, fall in its
// audio: seconds from the stream's first sample. The decoder joins the segments read with
// no gap, so a segment that follows the one before in the playlist is placed by the 90 kHz
// timestamp of its first audio (which wraps at 2^33; exact where durations are rounded),
// and one without a timestamp, or after a segment that was skipped, right after the audio
// before by its playlist duration.
class BREVANTPLAYER_EXPORT BVHlsTimeline
{
public:
    // A timestamp further than this from where the audio before ends, or before the
    // audio before begins, is a jump of the encoder's clock: the count goes on from the
    // durations.
    static constexpr double kMaxJumpSeconds = 5.0;

    // Places the next segment read, number `sequence` of its playlist; returns where its
    // audio begins.
    double place(quint32 sequence, qint64 pts, double duration);
    // Where a text timed at `pts` (-1: untimed, at the segment's start) falls, kept inside
    // the segment placed last.
    double timeOf(qint64 pts) const;

private:
    double sinceZero(qint64 pts) const;

    qint64 m_zeroPts = -1; // the timestamp of the stream's first sample
    qint64 m_lastSequence = -1;
    double m_start = 0.0;
    double m_end = 0.0;
};
