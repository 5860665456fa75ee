#include "testmedia.h"

#include <QFile>
#include <QProcess>
#include <QTest>

namespace bvtest {

bool runFfmpeg(const QStringList &args)
{
    QProcess ffmpeg;
    ffmpeg.setProcessChannelMode(QProcess::MergedChannels);
    ffmpeg.start(QStringLiteral("ffmpeg"), QStringList{"-hide_banner", "-loglevel", "error", "-nostdin", "-y"} + args);
    if (!ffmpeg.waitForFinished(60000) || ffmpeg.exitStatus() != QProcess::NormalExit || ffmpeg.exitCode() != 0) {
        qWarning() << "ffmpeg failed:" << args << ffmpeg.readAll();
        return false;
    }
    return true;
}

static QString sine(double frequency, double seconds, int rate)
{
    return QStringLiteral("sine=frequency=%1:sample_rate=%2:duration=%3").arg(frequency).arg(rate).arg(seconds);
}

bool makeTone(const QString &path, double frequency, double seconds, const QStringList &outputArgs, int rate,
              int channels)
{
    return runFfmpeg(QStringList{"-f", "lavfi", "-i", sine(frequency, seconds, rate), "-ac", QString::number(channels)}
                     + outputArgs + QStringList{path});
}

bool makeTwoTones(const QString &path, double first, double second, double seconds, const QStringList &outputArgs)
{
    return runFfmpeg(QStringList{"-f", "lavfi", "-i", sine(first, seconds, 44100), "-f", "lavfi", "-i",
                                 sine(second, seconds, 44100), "-filter_complex", "[0:a][1:a]concat=n=2:v=0:a=1",
                                 "-ac", "2"}
                     + outputArgs + QStringList{path});
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace bvtest
