#include "bvid3tag.h"

#include "bvlogging.h"
#include "module_loader.h"

// Linked in by builds that carry the reader themselves (the fuzzers); null otherwise.
extern "C" void bvReadId3(const char *data, size_t size, BVId3Fields &fields) __attribute__((weak));

namespace {

BVReadId3 reader()
{
    static const BVReadId3 read = [] {
        if (bvReadId3)
            return &bvReadId3;
        auto *loaded = reinterpret_cast<BVReadId3>(
            bvaudio::moduleSymbol(BV_ID3_MODULE_NAME, BV_ID3_MODULE_BUILD_PATH, BV_READ_ID3_SYMBOL));
        if (!loaded)
            qCWarning(bvLog) << "Can not load the ID3 module" << BV_ID3_MODULE_NAME << "- timed titles stay unread";
        return loaded;
    }();
    return read;
}

} // namespace

BVId3Tag::BVId3Tag(const QByteArray &bytes)
{
    if (const BVReadId3 read = reader())
        read(bytes.constData(), static_cast<size_t>(bytes.size()), m_fields);
}

QString BVId3Tag::property(const QString &key) const
{
    for (const auto &[name, values] : m_fields.properties) {
        if (QString::fromStdString(name).compare(key, Qt::CaseInsensitive) == 0)
            return QString::fromStdString(values);
    }
    return {};
}

QString BVId3Tag::toString() const
{
    QString text = QString::fromStdString(m_fields.title);
    if (!m_fields.properties.empty())
        text += QLatin1Char(' ');
    for (const auto &[key, values] : m_fields.properties)
        text += QString::fromStdString(key) + QLatin1Char(':') + QString::fromStdString(values);
    return text;
}

QString BVId3Tag::nowPlaying() const
{
    const QString text = property(QStringLiteral("TXXX"));
    return text.isEmpty() ? toString() : text;
}
