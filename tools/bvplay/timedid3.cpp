#include "timedid3.h"

#include <cstring>

namespace TimedId3 {
namespace {

constexpr int kPacketSize = 188;

QByteArray synchsafe(quint32 n)
{
    QByteArray bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = char((n >> (7 * (3 - i))) & 0x7F);
    return bytes;
}

quint32 crc32Mpeg(const char *data, qsizetype size)
{
    quint32 crc = 0xFFFFFFFF;
    for (qsizetype i = 0; i < size; ++i) {
        crc ^= quint32(quint8(data[i])) << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = crc & 0x80000000 ? (crc << 1) ^ 0x04C11DB7 : crc << 1;
    }
    return crc;
}

int pidOf(const char *packet)
{
    return (quint8(packet[1]) & 0x1F) << 8 | quint8(packet[2]);
}

bool startsUnit(const char *packet)
{
    return quint8(packet[1]) & 0x40;
}

// Offset of the payload inside a packet, or -1 when it has none.
int payloadOffset(const char *packet)
{
    const int control = (quint8(packet[3]) >> 4) & 0x3;
    if (control == 0x2)
        return -1;
    const int offset = control == 0x3 ? 5 + quint8(packet[4]) : 4;
    return offset < kPacketSize ? offset : -1;
}

// The PMT's PID from the first PAT of the segment, -1 when there is none.
int pmtPid(const QByteArray &ts)
{
    for (qsizetype at = 0; at + kPacketSize <= ts.size(); at += kPacketSize) {
        const char *packet = ts.constData() + at;
        if (pidOf(packet) != 0 || !startsUnit(packet))
            continue;
        const int offset = payloadOffset(packet);
        if (offset < 0)
            return -1;
        const char *section = packet + offset + 1 + quint8(packet[offset]);
        if (section + 16 > packet + kPacketSize)
            return -1;
        return (quint8(section[10]) & 0x1F) << 8 | quint8(section[11]); // first program's PID
    }
    return -1;
}

// The PMT section of `packet` with the metadata stream appended to its stream loop.
bool declareMetadataStream(char *packet)
{
    const int offset = payloadOffset(packet);
    if (offset < 0)
        return false;
    char *section = packet + offset + 1 + quint8(packet[offset]);
    const int sectionLength = (quint8(section[1]) & 0x0F) << 8 | quint8(section[2]);
    static const char entry[] = {
        0x15, char(0xE0 | (kPid >> 8)), char(kPid & 0xFF), char(0xF0), 15,
        0x26, 13, char(0xFF), char(0xFF), 'I', 'D', '3', ' ', char(0xFF), 'I', 'D', '3', ' ', 0, 0x0F};
    const int newLength = sectionLength + int(sizeof(entry));
    if (section + 3 + newLength > packet + kPacketSize)
        return false;
    char *crcAt = section + 3 + sectionLength - 4;
    memmove(crcAt + sizeof(entry), crcAt, 4);
    memcpy(crcAt, entry, sizeof(entry));
    section[1] = char((section[1] & 0xF0) | (newLength >> 8));
    section[2] = char(newLength & 0xFF);
    const quint32 crc = crc32Mpeg(section, 3 + newLength - 4);
    char *crcOut = section + 3 + newLength - 4;
    for (int i = 0; i < 4; ++i)
        crcOut[i] = char(crc >> (24 - 8 * i));
    return true;
}

// The PTS field (5 bytes) of the first audio PES in the segment; a zero PTS when none.
QByteArray firstPts(const QByteArray &ts, int pmt)
{
    for (qsizetype at = 0; at + kPacketSize <= ts.size(); at += kPacketSize) {
        const char *packet = ts.constData() + at;
        const int pid = pidOf(packet);
        if (pid == 0 || pid == pmt || pid == 0x11 || !startsUnit(packet))
            continue;
        const int offset = payloadOffset(packet);
        if (offset < 0 || offset + 14 > kPacketSize)
            continue;
        const char *pes = packet + offset;
        if (pes[0] == 0 && pes[1] == 0 && pes[2] == 1 && (quint8(pes[7]) & 0x80))
            return QByteArray(pes + 9, 5);
    }
    return QByteArray("\x21\x00\x01\x00\x01", 5);
}

// TS packets on PID 258 carrying `pes`; the last one padded with adaptation-field stuffing.
QByteArray packetize(const QByteArray &pes)
{
    QByteArray out;
    int continuity = 0;
    for (qsizetype at = 0; at < pes.size(); continuity = (continuity + 1) & 0xF) {
        const qsizetype left = pes.size() - at;
        QByteArray packet;
        packet += char(0x47);
        packet += char((at == 0 ? 0x40 : 0x00) | (kPid >> 8));
        packet += char(kPid & 0xFF);
        if (left >= kPacketSize - 4) {
            packet += char(0x10 | continuity);
            packet += pes.mid(at, kPacketSize - 4);
            at += kPacketSize - 4;
        } else {
            const int stuffing = int(kPacketSize - 4 - left); // adaptation field length byte included
            packet += char(0x30 | continuity);
            packet += char(stuffing - 1);
            if (stuffing > 1)
                packet += char(0x00) + QByteArray(stuffing - 2, char(0xFF));
            packet += pes.mid(at);
            at = pes.size();
        }
        out += packet;
    }
    return out;
}

} // namespace

QByteArray tag(const QList<QPair<QByteArray, QString>> &frames, qint64 transportStreamTimestamp)
{
    QByteArray body;
    if (transportStreamTimestamp >= 0) {
        QByteArray content("com.apple.streaming.transportStreamTimestamp", 45); // owner and its terminator
        for (int shift = 56; shift >= 0; shift -= 8)
            content += char((transportStreamTimestamp >> shift) & 0xFF);
        body += "PRIV" + synchsafe(quint32(content.size())) + QByteArray(2, '\0') + content;
    }
    for (const auto &[id, text] : frames) {
        QByteArray content(1, '\x03'); // UTF-8
        if (id == "TXXX")
            content += QByteArray("TXXX", 5); // description and its terminator
        content += text.toUtf8();
        body += id + synchsafe(quint32(content.size())) + QByteArray(2, '\0') + content;
    }
    return QByteArray("ID3\x04\x00\x00", 6) + synchsafe(quint32(body.size())) + body;
}

QByteArray insert(const QByteArray &segment, const QByteArray &tag)
{
    const int pmt = pmtPid(segment);
    if (pmt < 0)
        return segment;
    QByteArray pes("\x00\x00\x01\xBD", 4);
    const int length = 3 + 5 + int(tag.size());
    pes += char(length >> 8);
    pes += char(length & 0xFF);
    pes += QByteArray("\x84\x80\x05", 3); // data alignment, PTS only, 5 header bytes
    pes += firstPts(segment, pmt);
    pes += tag;
    const QByteArray metadata = packetize(pes);

    QByteArray out;
    bool inserted = false;
    for (qsizetype at = 0; at + kPacketSize <= segment.size(); at += kPacketSize) {
        QByteArray packet = segment.mid(at, kPacketSize);
        if (pidOf(packet.constData()) == pmt && startsUnit(packet.constData())
            && declareMetadataStream(packet.data()) && !inserted) {
            out += packet + metadata;
            inserted = true;
            continue;
        }
        out += packet;
    }
    return out;
}

} // namespace TimedId3
