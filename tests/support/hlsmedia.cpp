#include "hlsmedia.h"

#include "testmedia.h"
#include "timedid3.h"

#include <QTemporaryDir>
#include <QtMath>

namespace bvtest {

QList<QByteArray> makeHlsSegments(const QList<double> &frequencies, double seconds, const QStringList &codecArgs,
                                  HlsFormat format, QByteArray *init)
{
    // One tone per segment: if(lt(t,s1),f0,if(lt(t,s2),f1,...)).
    QString frequency = QString::number(frequencies.last());
    for (qsizetype i = frequencies.size() - 2; i >= 0; --i)
        frequency = QStringLiteral("if(lt(t\\,%1)\\,%2\\,%3)").arg((i + 1) * seconds).arg(frequencies[i]).arg(frequency);
    const QString tone = QStringLiteral("aevalsrc=0.3*sin(2*PI*%1*t):s=48000:c=stereo:d=%2")
                             .arg(frequency).arg(seconds * frequencies.size());
    QTemporaryDir dir;
    QStringList args{"-f", "lavfi", "-i", tone};
    args << codecArgs;
    const bool mp3 = codecArgs.contains(QLatin1String("libmp3lame"));
    const QString name = format == HlsFormat::Ts ? "s%1.ts" : format == HlsFormat::Fmp4 ? "s%1.m4s" : mp3 ? "s%1.mp3" : "s%1.aac";
    if (format == HlsFormat::Packed) {
        args << "-f" << "segment" << "-segment_format" << (mp3 ? "mp3" : "adts") << "-segment_time"
             << QString::number(seconds);
        if (mp3) // no tags of the muxer's own: a packed segment opens with the station's only
            args << "-segment_format_options" << "write_xing=0:id3v2_version=0";
        args << dir.filePath(name.arg("%d"));
    } else {
        args << "-f" << "hls" << "-hls_time" << QString::number(seconds) << "-hls_list_size" << "0"
             << "-hls_segment_type" << (format == HlsFormat::Fmp4 ? "fmp4" : "mpegts")
             << "-hls_fmp4_init_filename" << "init.mp4" << "-hls_segment_filename" << dir.filePath(name.arg("%d"))
             << dir.filePath("list.m3u8");
    }
    if (!runFfmpeg(args))
        return {};
    if (init)
        *init = readFile(dir.filePath("init.mp4"));
    QList<QByteArray> segments;
    // The encoder's last frames may spill into one more short segment: it is left out.
    for (int i = 0; i < frequencies.size(); ++i) {
        const QByteArray segment = readFile(dir.filePath(name.arg(i)));
        if (segment.isEmpty())
            break;
        segments.append(segment);
    }
    return segments;
}

QByteArray withTitle(const QByteArray &segment, const QString &text, HlsFormat format, qint64 pts)
{
    if (format == HlsFormat::Packed)
        return TimedId3::tag({{"TXXX", text}}, pts) + segment;
    return TimedId3::insert(segment, TimedId3::tag({{"TXXX", text}}));
}

QByteArray mediaPlaylist(quint64 firstSequence, const QList<QByteArray> &uris, double seconds,
                         const QSet<int> &discontinuities, const QByteArray &map)
{
    QByteArray text = "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:" + QByteArray::number(qCeil(seconds))
        + "\n#EXT-X-MEDIA-SEQUENCE:" + QByteArray::number(firstSequence) + "\n";
    if (!map.isEmpty())
        text += "#EXT-X-MAP:URI=\"" + map + "\"\n";
    for (int i = 0; i < uris.size(); ++i) {
        if (discontinuities.contains(i))
            text += "#EXT-X-DISCONTINUITY\n";
        text += "#EXTINF:" + QByteArray::number(seconds, 'f', 3) + ",\n" + uris[i] + "\n";
    }
    return text;
}

} // namespace bvtest
