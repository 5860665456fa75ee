// Test media made on the fly with the ffmpeg command-line tool.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace bvtest {

// Encodes a sine tone of `seconds` into `path` with the given ffmpeg output arguments (codec, container).
bool makeTone(const QString &path, double frequency, double seconds, const QStringList &outputArgs = {},
              int rate = 44100, int channels = 2);

// Two tones one after the other: `first` Hz for `seconds`, then `second` Hz for `seconds`.
bool makeTwoTones(const QString &path, double first, double second, double seconds, const QStringList &outputArgs = {});

// Runs ffmpeg with `args` (after the common quiet/overwrite flags).
bool runFfmpeg(const QStringList &args);

// The whole file at `path`; empty when it can not be read.
QByteArray readFile(const QString &path);
// Writes `bytes` as the whole file at `path`.
bool writeFile(const QString &path, const QByteArray &bytes);

} // namespace bvtest
