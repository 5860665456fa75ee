#include "bvhlsdemuxer.h"

#include "bvid3tag.h"

namespace {

constexpr int kPacketSize = 188;
constexpr int kHeaderSize = 4;
constexpr quint16 kMetadataPid = 0x102;
constexpr quint8 kPrivateStream1 = 0xBD;
const char kSyncByte = 0x47;

// A PES header's 33-bit PTS from its five bytes.
qint64 ptsAt(const quint8 *p)
{
    return qint64(p[0] & 0x0E) << 29 | qint64(p[1]) << 22 | qint64(p[2] & 0xFE) << 14 | qint64(p[3]) << 7
        | qint64(p[4] >> 1);
}

bool isAudioStreamId(quint8 id)
{
    return (id & 0xE0) == 0xC0; // MPEG audio streams 0xC0..0xDF (AAC and MP3 alike)
}

// The header bits of an ADTS or MPEG audio frame at `p` that a decoder cannot change
// mid-stream (codec, profile, sample rate, mono or not), empty when `p` holds no frame header.
QByteArray frameFormat(const quint8 *p, qsizetype size)
{
    if (size < 4 || p[0] != 0xFF || (p[1] & 0xE0) != 0xE0)
        return {};
    if ((p[1] & 0xF6) == 0xF0) // ADTS: profile, sampling index, channel configuration
        return QByteArray("adts") + char(p[2] & 0xFD) + char(p[3] & 0xC0);
    const bool mono = (p[3] & 0xC0) == 0xC0;
    return QByteArray("mpa") + char(p[1] & 0xFE) + char(p[2] & 0x0C) + char(mono); // version, layer, rate, mono
}

// The size of the ID3v2 tag at the start of `data` (header, body and footer), 0 when none.
qsizetype id3Size(const QByteArray &data)
{
    if (data.size() < 10 || !data.startsWith("ID3"))
        return 0;
    quint32 body = 0;
    for (int i = 6; i < 10; ++i) {
        if (quint8(data[i]) & 0x80)
            return 0;
        body = body << 7 | quint8(data[i]);
    }
    const bool footer = quint8(data[5]) & 0x10;
    return 10 + qsizetype(body) + (footer ? 10 : 0);
}

} // namespace

BVHlsDemuxer::BVHlsDemuxer(QObject *parent) : QObject(parent) {}

void BVHlsDemuxer::demux(BVHlsChunk &chunk, const QByteArray &data)
{
    chunk.titles.clear();
    chunk.pts = -1;
    chunk.audioFormat.clear();
    chunk.data = data;
    if (id3Size(data) == 0) {
        demuxTransportStream(chunk);
        if (chunk.audioFormat.isEmpty()) // packed audio without tags
            chunk.audioFormat = frameFormat(reinterpret_cast<const quint8 *>(data.constData()), data.size());
        return;
    }
    // Packed audio: its tags come off the audio; a tag larger than the segment is kept as it
    // came and the engine skips what it is.
    for (int tags = 0; tags < kMaxPackedTags; ++tags) {
        const qsizetype size = id3Size(chunk.data);
        if (size == 0 || size > chunk.data.size())
            break;
        const BVId3Tag tag(chunk.data.left(size));
        if (chunk.pts < 0)
            chunk.pts = tag.transportStreamTimestamp();
        const QString text = tag.nowPlaying();
        if (!text.isEmpty())
            chunk.titles.append({chunk.pts, text});
        chunk.data.remove(0, size);
    }
    chunk.audioFormat = frameFormat(reinterpret_cast<const quint8 *>(chunk.data.constData()), chunk.data.size());
}

void BVHlsDemuxer::demuxTransportStream(BVHlsChunk &chunk)
{
    const QByteArray &data = chunk.data;
    const qsizetype first = data.indexOf(kSyncByte);
    if (first < 0)
        return;
    for (qsizetype at = first; at + kPacketSize <= data.size(); at += kPacketSize) {
        const auto *packet = reinterpret_cast<const quint8 *>(data.constData() + at);
        if (packet[0] != quint8(kSyncByte) || (packet[1] & 0x80))
            continue;
        const bool unitStart = packet[1] & 0x40;
        const quint16 pid = quint16((packet[1] & 0x1F) << 8 | packet[2]);
        // A packet that carries an adaptation field (muxers pad short PES packets with one)
        // has its payload after that field.
        int payloadStart = kHeaderSize;
        const int adaptation = (packet[3] >> 4) & 0x3;
        if (adaptation == 0x2)
            continue; // adaptation field only, no payload
        if (adaptation == 0x3)
            payloadStart += 1 + packet[4];
        if (payloadStart >= kPacketSize)
            continue;
        const quint8 *payload = packet + payloadStart;
        if (pid != kMetadataPid) {
            // The segment's timestamp and format: those of its first audio PES.
            if (chunk.pts < 0 && unitStart && payloadStart + 14 <= kPacketSize && payload[0] == 0 && payload[1] == 0
                && payload[2] == 1 && isAudioStreamId(payload[3]) && (payload[7] & 0x80)) {
                chunk.pts = ptsAt(payload + 9);
                const int frameAt = payloadStart + 9 + payload[8];
                chunk.audioFormat = char(payload[3])
                    + (frameAt < kPacketSize ? frameFormat(packet + frameAt, kPacketSize - frameAt) : QByteArray());
            }
            continue;
        }
        reassemble(unitStart, reinterpret_cast<const char *>(payload), kPacketSize - payloadStart);
        if (m_pesState.streamId != kPrivateStream1) {
            m_pesState = PesState();
        } else if (m_pesState.complete) {
            const QString text = BVId3Tag(m_pesState.payload).nowPlaying();
            if (!text.isEmpty())
                chunk.titles.append({m_pesState.pts, text});
            m_pesState = PesState();
        }
    }
}

void BVHlsDemuxer::reassemble(bool unitStart, const char *payload, int payloadSize)
{
    if (m_pesState.complete)
        return;
    const auto *bytes = reinterpret_cast<const quint8 *>(payload);
    if (unitStart) {
        if (payloadSize < 14 || bytes[0] != 0 || bytes[1] != 0 || bytes[2] != 1) {
            m_pesState = PesState();
            return;
        }
        const quint16 packetLength = quint16(bytes[4] << 8 | bytes[5]);
        const quint8 headerDataLength = bytes[8];
        m_pesState.streamId = bytes[3];
        m_pesState.pts = (bytes[7] & 0x80) && headerDataLength >= 5 ? ptsAt(bytes + 9) : -1;
        m_pesState.skip = headerDataLength + 9;
        m_pesState.expected = packetLength - headerDataLength - 3;
        m_pesState.payload.clear();
        m_pesState.payload.reserve(qMax(0, m_pesState.expected));
        m_pesState.complete = false;
    }
    if (m_pesState.expected <= 0)
        return;
    if (m_pesState.skip >= payloadSize) {
        m_pesState.skip -= payloadSize;
        return;
    }
    m_pesState.payload.append(payload + m_pesState.skip, payloadSize - m_pesState.skip);
    m_pesState.skip = 0;
    m_pesState.complete = m_pesState.payload.size() >= m_pesState.expected;
}
