#include "bvid3tag.h"

#include <taglib/privateframe.h>
#include <taglib/tpropertymap.h>

namespace {

QString joined(const TagLib::StringList &values)
{
    return QString::fromStdString(values.toString(" ").to8Bit(true));
}

} // namespace

BVId3Tag::BVId3Tag(const QByteArray &bytes)
{
    const TagLib::ByteVector data(bytes.constData(), static_cast<unsigned int>(bytes.size()));
    header()->setData(data);
    const unsigned int size = header()->tagSize();
    const unsigned int headerSize = TagLib::ID3v2::Header::size();
    // A tag that claims more than the bytes hold is parsed only as far as they go.
    if (data.size() > headerSize)
        parse(data.mid(headerSize, size));
}

QString BVId3Tag::property(const QString &key) const
{
    const TagLib::String name(key.toUtf8().constData(), TagLib::String::Latin1);
    const TagLib::PropertyMap map = properties();
    const auto it = map.find(name);
    return it == map.end() ? QString() : joined(it->second);
}

QString BVId3Tag::toString() const
{
    QString text = QString::fromStdString(title().to8Bit(true));
    const TagLib::PropertyMap map = properties();
    if (!map.isEmpty())
        text += QLatin1Char(' ');
    for (const auto &[key, values] : map)
        text += QString::fromStdString(key.to8Bit(true)) + QLatin1Char(':') + joined(values);
    return text;
}

QString BVId3Tag::nowPlaying() const
{
    const QString text = property(QStringLiteral("TXXX"));
    return text.isEmpty() ? toString() : text;
}

qint64 BVId3Tag::transportStreamTimestamp() const
{
    for (const TagLib::ID3v2::Frame *frame : frameList("PRIV")) {
        const auto *priv = dynamic_cast<const TagLib::ID3v2::PrivateFrame *>(frame);
        if (!priv || priv->owner() != "com.apple.streaming.transportStreamTimestamp" || priv->data().size() != 8)
            continue;
        const TagLib::ByteVector data = priv->data();
        quint64 pts = 0;
        for (unsigned int i = 0; i < 8; ++i)
            pts = pts << 8 | quint8(data[i]);
        return qint64(pts & ((quint64(1) << 33) - 1));
    }
    return -1;
}
