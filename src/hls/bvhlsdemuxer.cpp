#include "bvhlsdemuxer.h"

#include "bvid3tag.h"

namespace {

constexpr int kPacketSize = 188;
constexpr int kHeaderSize = 4;
constexpr int kPayloadSize = kPacketSize - kHeaderSize;
constexpr quint16 kMetadataPid = 0x102;
constexpr quint8 kPrivateStream1 = 0xBD;
const char kSyncByte = 0x47;

} // namespace

BVHlsDemuxer::BVHlsDemuxer(QObject *parent) : QObject(parent) {}

void BVHlsDemuxer::demux(BVHlsChunk &chunk, const QByteArray &data)
{
    chunk.meta.clear();
    chunk.data = data;
    const qsizetype first = data.indexOf(kSyncByte);
    if (first < 0)
        return;
    for (qsizetype at = first; at + kPacketSize <= data.size(); at += kPacketSize) {
        const auto *packet = reinterpret_cast<const quint8 *>(data.constData() + at);
        if (packet[0] != quint8(kSyncByte) || (packet[1] & 0x80))
            continue;
        const bool unitStart = packet[1] & 0x40;
        const quint16 pid = quint16((packet[1] & 0x1F) << 8 | packet[2]);
        if (pid != kMetadataPid)
            continue;
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
        reassemble(unitStart, data.constData() + at + payloadStart, kPacketSize - payloadStart);
        if (m_pesState.streamId != kPrivateStream1) {
            m_pesState = PesState();
        } else if (m_pesState.complete) {
            const BVId3Tag tag(m_pesState.payload);
            QString text = tag.property(QStringLiteral("TXXX"));
            if (text.isEmpty())
                text = tag.toString();
            chunk.meta.insert(int(chunk.data.size()), text);
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
        m_pesState.startCode = QByteArray(payload, 3);
        m_pesState.streamId = bytes[3];
        m_pesState.packetLength = quint16(bytes[4] << 8 | bytes[5]);
        m_pesState.flags = quint16(bytes[6] << 8 | bytes[7]);
        m_pesState.headerDataLength = bytes[8];
        m_pesState.headerBytes = QByteArray(payload + 9, 5);
        m_pesState.skip = m_pesState.headerDataLength + 9;
        m_pesState.expected = m_pesState.packetLength - m_pesState.headerDataLength - 3;
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
