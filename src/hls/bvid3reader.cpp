// The TagLib side of ID3v2 reading, built as a module of its own.
#include "bvid3fields.h"

#include <taglib/id3v2header.h>
#include <taglib/id3v2tag.h>
#include <taglib/privateframe.h>
#include <taglib/tpropertymap.h>

namespace {

// A tag parsed from bytes in memory (TagLib's parse() is protected).
class MemoryTag : public TagLib::ID3v2::Tag
{
public:
    explicit MemoryTag(const TagLib::ByteVector &data)
    {
        header()->setData(data);
        const unsigned int headerSize = TagLib::ID3v2::Header::size();
        // A tag that claims more than the bytes hold is parsed only as far as they go.
        if (data.size() > headerSize)
            parse(data.mid(headerSize, header()->tagSize()));
    }
};

int64_t transportStreamTimestamp(const TagLib::ID3v2::Tag &tag)
{
    for (const TagLib::ID3v2::Frame *frame : tag.frameList("PRIV")) {
        const auto *priv = dynamic_cast<const TagLib::ID3v2::PrivateFrame *>(frame);
        if (!priv || priv->owner() != "com.apple.streaming.transportStreamTimestamp" || priv->data().size() != 8)
            continue;
        const TagLib::ByteVector data = priv->data();
        uint64_t pts = 0;
        for (unsigned int i = 0; i < 8; ++i)
            pts = pts << 8 | static_cast<uint8_t>(data[i]);
        return static_cast<int64_t>(pts & ((uint64_t(1) << 33) - 1));
    }
    return -1;
}

} // namespace

extern "C" __attribute__((visibility("default"))) void bvReadId3(const char *data, size_t size, BVId3Fields &fields)
{
    const MemoryTag tag(TagLib::ByteVector(data, static_cast<unsigned int>(size)));
    fields.title = tag.title().to8Bit(true);
    for (const auto &[key, values] : tag.properties())
        fields.properties.emplace_back(key.to8Bit(true), values.toString(" ").to8Bit(true));
    fields.transportStreamTimestamp = transportStreamTimestamp(tag);
}
