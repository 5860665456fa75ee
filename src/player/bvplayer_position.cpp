// BVPlayer: position, buffering, seeking, level metering, volume and rate.
#include "bvplayer.h"

#include "bass.h"
#include "bvbass.h"
#include "bvlogging.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr quint64 kFailedPosition = std::numeric_limits<quint64>::max();

} // namespace

quint64 BVPlayer::streamFilePosition(quint32 mode) const
{
    if (!m_stream)
        return 0;
    const QWORD value = BASS_StreamGetFilePosition(m_stream, mode);
    return value == kFailedPosition ? 0 : value;
}

quint64 BVPlayer::streamFilePosBuffer() const
{
    return streamFilePosition(BASS_FILEPOS_BUFFER);
}

quint64 BVPlayer::streamFilePosCurrent() const
{
    return streamFilePosition(BASS_FILEPOS_CURRENT);
}

quint64 BVPlayer::streamFilePosEnd() const
{
    return streamFilePosition(BASS_FILEPOS_END);
}

void BVPlayer::setPosition(double position)
{
    qCDebug(bvLog) << m_name << "Set position to" << position;
    changePosition(position);
}

void BVPlayer::skipForward(double duration)
{
    changePosition(std::min(position() + duration, length()));
}

void BVPlayer::skipBackward(double duration)
{
    changePosition(std::max(0.0, position() - duration));
}

void BVPlayer::setPositionValue(double position)
{
    BVPlayerSimpleSource::setPosition(position);
}

double BVPlayer::streamBytesToSeconds(quint64 bytes, QString paramName)
{
    if (!m_stream)
        return 0;
    if (bytes == kFailedPosition) {
        if (!paramName.isEmpty())
            qCDebug(bvLog) << m_name << "Can not get" << paramName << "from stream" << BVBass::errorMessage();
        return 0;
    }
    const double seconds = BASS_ChannelBytes2Seconds(m_stream, bytes);
    return seconds > 0 ? seconds : 0;
}

void BVPlayer::updatePosition()
{
    const quint64 bytes = BASS_ChannelGetPosition(m_stream, BASS_POS_BYTE);
    setPositionValue(startPosition() + streamBytesToSeconds(bytes, QStringLiteral("position")));
}

void BVPlayer::updateLength()
{
    if (!isHls() && m_stream)
        setLength(startPosition() + streamBytesToSeconds(BASS_ChannelGetLength(m_stream, BASS_POS_BYTE)));
    else
        setLength(0);
}

void BVPlayer::updateIsSeekable()
{
    setIsSeekable(length() > 0.001);
}

void BVPlayer::updateBufferedLength()
{
    const quint64 buffer = BASS_StreamGetFilePosition(m_stream, BASS_FILEPOS_BUFFER);
    const quint64 end = BASS_StreamGetFilePosition(m_stream, BASS_FILEPOS_END);
    if (buffer == 0 || end == 0 || buffer == kFailedPosition || end == kFailedPosition) {
        setBufferedLength(0);
        return;
    }
    const double ahead = std::max(0.0, (length() - startPosition()) * double(buffer) / double(end));
    // A live stream's length does not grow with its position: never less than nothing ahead.
    setBufferedLength(std::max(0.0, std::min(length() - position(), ahead)));
}

void BVPlayer::updatePositionAndBufferedLength()
{
    updatePosition();
    updateBufferedLength();
}

void BVPlayer::changePosition(double position)
{
    if (position < 0 || position >= length()) {
        qCDebug(bvLog) << m_name << "Can not change position to invalid value" << position;
        return;
    }
    const bool inside = streamUrl().isLocalFile()
                        || (startPosition() <= position && position < startPosition() + bufferedLength());
    if (inside) {
        qCDebug(bvLog) << m_name << "Change position to" << position << "inside buffered area";
        const double relative = position - startPosition();
        const quint64 bytes = BASS_ChannelSeconds2Bytes(m_stream, relative);
        if (bytes == kFailedPosition) {
            qCWarning(bvLog) << m_name << "Can not convert position" << relative << "to bytes" << BVBass::errorMessage();
            return;
        }
        if (!BASS_ChannelSetPosition(m_stream, bytes, BASS_POS_BYTE))
            qCWarning(bvLog) << m_name << "Can not change position to" << relative << BVBass::errorMessage();
        return;
    }

    qCDebug(bvLog) << m_name << "Change position to" << position << "outside buffered area";
    quint64 start = BASS_StreamGetFilePosition(m_stream, BASS_FILEPOS_START);
    const quint64 end = BASS_StreamGetFilePosition(m_stream, BASS_FILEPOS_END);
    quint64 size = 0;
    double ratio = 0.0;
    if (start && end && start != kFailedPosition && end != kFailedPosition && start < end) {
        ratio = std::clamp(position / length(), 0.0, 1.0);
        size = end - start;
    } else {
        qCWarning(bvLog) << m_name << "Can not change position cause can not get filepos end from stream"
                         << BVBass::errorMessage() << "fallback to zero position" << 0;
        start = 0;
    }
    // (bytes already skipped + what this channel holds) is the whole stream's audio data.
    const auto offset = static_cast<quint64>(double(m_startPosBytes + size) * ratio + double(start));
    setStartPosition(position);
    const bool wasPlaying = isPlaying();
    processStop(wasPlaying ? StalledState : StoppedState, offset);
    if (wasPlaying)
        handlePlaylist(streams(), isHls());
}

void BVPlayer::updateLevelDb()
{
    if (isPlaying() && m_stream) {
        float level = 0.0f;
        BASS_ChannelGetLevelEx(m_stream, &level, 0.02f, BASS_LEVEL_MONO | BASS_LEVEL_RMS);
        setLevel(level);
        setLevelDb(level > 0 ? double(20.0f * std::log10(level)) : -std::numeric_limits<double>::infinity());
        return;
    }
    setLevel(0);
    setLevelDb(-std::numeric_limits<double>::infinity());
}

double BVPlayer::volumeLevel()
{
    return duckVolume() ? volume() * 0.2 : volume();
}

void BVPlayer::changeVolume()
{
    changeVolume(volumeLevel(), 200);
}

void BVPlayer::changeVolume(double volume, quint32 timeMs)
{
    if (!m_stream)
        return;
    if (timeMs) {
        if (!BASS_ChannelSlideAttribute(m_stream, BASS_ATTRIB_VOL, float(volume), timeMs))
            qCWarning(bvLog) << m_name << "Can not slide volume to" << volume << "with fade" << timeMs << "ms"
                             << BVBass::errorMessage();
    } else if (!BASS_ChannelSetAttribute(m_stream, BASS_ATTRIB_VOL, float(volume))) {
        qCWarning(bvLog) << m_name << "Can not change volume to" << volume << "without fade" << BVBass::errorMessage();
    }
}

void BVPlayer::changePlaybackRate()
{
    const double rate = playbackRate();
    if (rate <= 0) {
        qCWarning(bvLog) << m_name << "Can not change playback rate to invalid value" << rate;
        return;
    }
    const quint32 freq = m_streamInfo.freq;
    if (freq == 0) {
        qCWarning(bvLog) << m_name << "Can not change playback rate to invalid stream info freq" << freq;
        return;
    }
    if (!BASS_ChannelSetAttribute(m_stream, BASS_ATTRIB_FREQ, float(freq * rate)))
        qCWarning(bvLog) << m_name << "Can not change playback rate to" << rate << BVBass::errorMessage();
}
