// BVPlayer: the choice of stream by bitrate and quality.
#include "bvplayer.h"

#include <QRandomGenerator64>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr quint64 kNoUpperBound = 4294967295u;

struct Band {
    quint64 lower;
    quint64 upper;
};

Band qualityBand(BVPlayerSource::Quality quality)
{
    switch (quality) {
    case BVPlayerSource::AutoQuality: return {0, kNoUpperBound};
    case BVPlayerSource::HighQuality: return {88000, kNoUpperBound};
    case BVPlayerSource::MidQuality: return {48000, 88000};
    case BVPlayerSource::LowQuality: return {0, 48000};
    }
    return {0, 0};
}

// The key of `streams` nearest to `target`, in iteration order; on a tie the one met first.
quint32 nearestBitrate(const BVPlaylistStreams &streams, quint64 target)
{
    quint32 best = 0;
    quint64 bestDistance = std::numeric_limits<quint64>::max();
    for (auto it = streams.keyBegin(); it != streams.keyEnd(); ++it) {
        const quint64 key = *it;
        const quint64 distance = key > target ? key - target : target - key;
        if (distance < bestDistance) {
            bestDistance = distance;
            best = *it;
        }
    }
    return best;
}

} // namespace

void BVPlayer::updateAvailableBitrates()
{
    QList<quint32> bitrates;
    const BVPlaylistStreams s = streams();
    for (auto it = s.keyBegin(); it != s.keyEnd(); ++it)
        if (!bitrates.contains(*it))
            bitrates.append(*it);
    setAvailableBitrates(bitrates);
}

void BVPlayer::updatePlayingBitrates()
{
    const BVPlaylistStreams s = streams();
    QList<quint32> bitrates;
    if (s.isEmpty()) {
        setPlayingBitrates(bitrates);
        return;
    }
    if (playingBitrate() != 0) {
        bitrates.append(nearestBitrate(s, playingBitrate()));
    } else {
        const Band band = qualityBand(playingQuality());
        for (auto it = s.keyBegin(); it != s.keyEnd(); ++it)
            if (band.lower <= *it && *it < band.upper && !bitrates.contains(*it))
                bitrates.append(*it);
        if (bitrates.isEmpty())
            bitrates.append(nearestBitrate(s, (band.lower + band.upper) / 2));
    }
    std::sort(bitrates.begin(), bitrates.end());
    setPlayingBitrates(bitrates);
}

quint32 BVPlayer::bitrateByCoef(double coef) const
{
    const QList<quint32> bitrates = playingBitrates();
    if (bitrates.isEmpty())
        return 0;
    const double c = coef > 0.0 ? std::min(coef, 1.0) : 0.0;
    const auto index = std::clamp<qsizetype>(static_cast<qsizetype>(std::floor(bitrates.size() * c)), 0,
                                             bitrates.size() - 1);
    return bitrates[index];
}

QUrl BVPlayer::streamByBitrate(quint32 bitrate) const
{
    const QList<QUrl> urls = streams().values(bitrate);
    if (urls.isEmpty())
        return QUrl();
    return urls[static_cast<qsizetype>(QRandomGenerator64::global()->bounded(quint64(urls.size())))];
}

void BVPlayer::updateCurrentQuality()
{
    const quint32 bitrate = currentBitrate();
    if (bitrate == 0 || bitrate == kNoUpperBound)
        setCurrentQuality(AutoQuality);
    else if (bitrate < 48000)
        setCurrentQuality(LowQuality);
    else if (bitrate < 88000)
        setCurrentQuality(MidQuality);
    else
        setCurrentQuality(HighQuality);
}
