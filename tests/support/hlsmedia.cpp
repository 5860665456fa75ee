#include "hlsmedia.h"

#include "testmedia.h"
#include "timedid3.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtMath>

namespace bvtest {

QList<QByteArray> makeHlsSegments(const QList<double> &frequencies, double seconds, const QStringList &codecArgs)
{
    // One tone per segment: if(lt(t,s1),f0,if(lt(t,s2),f1,...)).
    QString frequency = QString::number(frequencies.last());
    for (qsizetype i = frequencies.size() - 2; i >= 0; --i)
        frequency = QStringLiteral("if(lt(t\\,%1)\\,%2\\,%3)").arg((i + 1) * seconds).arg(frequencies[i]).arg(frequency);
    const QString tone = QStringLiteral("aevalsrc=0.3*sin(2*PI*%1*t):s=48000:c=stereo:d=%2")
                             .arg(frequency).arg(seconds * frequencies.size());
    QTemporaryDir dir;
    QStringList args{"-f", "lavfi", "-i", tone};
    args << codecArgs << "-f" << "hls" << "-hls_time" << QString::number(seconds) << "-hls_list_size" << "0"
         << "-hls_segment_filename" << dir.filePath("s%d.ts") << dir.filePath("list.m3u8");
    if (!runFfmpeg(args))
        return {};
    QList<QByteArray> segments;
    // The encoder's last frames may spill into one more short segment: it is left out.
    for (int i = 0; i < frequencies.size(); ++i) {
        QFile file(dir.filePath(QStringLiteral("s%1.ts").arg(i)));
        if (!file.open(QIODevice::ReadOnly))
            break;
        segments.append(file.readAll());
    }
    return segments;
}

QByteArray withTitle(const QByteArray &segment, const QString &text)
{
    return TimedId3::insert(segment, TimedId3::tag({{"TXXX", text}}));
}

QByteArray mediaPlaylist(quint64 firstSequence, const QList<QByteArray> &uris, double seconds,
                         const QSet<int> &discontinuities)
{
    QByteArray text = "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:" + QByteArray::number(qCeil(seconds))
        + "\n#EXT-X-MEDIA-SEQUENCE:" + QByteArray::number(firstSequence) + "\n";
    for (int i = 0; i < uris.size(); ++i) {
        if (discontinuities.contains(i))
            text += "#EXT-X-DISCONTINUITY\n";
        text += "#EXTINF:" + QByteArray::number(seconds, 'f', 3) + ",\n" + uris[i] + "\n";
    }
    return text;
}

} // namespace bvtest
