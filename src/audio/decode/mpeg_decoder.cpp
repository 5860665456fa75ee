#include "decode/mpeg_decoder.h"

#include "decode/mp3_info.h"

#include <mpg123.h>

#include <algorithm>
#include <climits>
#include <cstdio>

namespace bvaudio {

std::unique_ptr<Decoder> MpegDecoder::open(ByteInput &input, const Options &options, const Start &start, int &error)
{
    static const bool initialised = (mpg123_init(), true); // a no-op in current versions, required by older ones
    (void)initialised;
    std::unique_ptr<MpegDecoder> decoder(new MpegDecoder(input));
    error = decoder->openStream(options, start);
    if (error != BASS_OK)
        return nullptr;
    return decoder;
}

MpegDecoder::~MpegDecoder()
{
    if (m_handle) {
        mpg123_close(m_handle);
        mpg123_delete(m_handle);
    }
}

bool MpegDecoder::timedOut() const
{
    return m_opening && m_deadline != std::chrono::steady_clock::time_point{}
           && std::chrono::steady_clock::now() >= m_deadline;
}

// The decoder sees the input from its first frame on: tags and junk before it are skipped.
ssize_t MpegDecoder::readInput(void *opaque, void *buffer, size_t size)
{
    auto *decoder = static_cast<MpegDecoder *>(opaque);
    // Junk is bounded while opening too: tags before the first frame were skipped already.
    if (decoder->timedOut() || decoder->m_bytesRead - decoder->m_bytesAtLastSample > kMaxJunkBytes)
        return -1;
    // The decoder reads a frame at a time, as it parses: what it asked for so far is consumed.
    if (!decoder->m_opening)
        decoder->m_input.consumed.store(decoder->m_start + decoder->m_position);
    const int n = decoder->m_input.read(static_cast<uint8_t *>(buffer), static_cast<int>(std::min<size_t>(size, INT_MAX)));
    if (n < 0)
        return -1;
    decoder->m_position += n;
    decoder->m_bytesRead += n;
    return n;
}

off_t MpegDecoder::seekInput(void *opaque, off_t offset, int whence)
{
    auto *decoder = static_cast<MpegDecoder *>(opaque);
    ByteInput &input = decoder->m_input;
    const int64_t start = decoder->m_start;
    int64_t target = offset;
    if (whence == SEEK_CUR)
        target += decoder->m_position;
    else if (whence == SEEK_END)
        target += input.size() - start;
    if (target < 0 || !input.seek(start + target))
        return -1;
    decoder->m_position = target;
    return static_cast<off_t>(target);
}

// 16-bit output at every rate the decoder knows, with the given channel counts.
void MpegDecoder::allowFormats(int channels)
{
    mpg123_format_none(m_handle);
    const long *rates = nullptr;
    size_t rateCount = 0;
    mpg123_rates(&rates, &rateCount);
    for (size_t i = 0; i < rateCount; ++i)
        mpg123_format(m_handle, rates[i], channels, MPG123_ENC_SIGNED_16);
}

// Positions the input at the first frame: a seek where the input allows one, else the
// bytes before it (already looked at) are read and dropped.
bool MpegDecoder::skipToStart(bool canSeek)
{
    if (canSeek)
        return m_input.seek(m_start);
    std::vector<uint8_t> skipped(static_cast<size_t>(std::min<int64_t>(m_start, 64 * 1024)));
    for (int64_t left = m_start; left > 0;) {
        const int n = m_input.read(skipped.data(), static_cast<int>(std::min<int64_t>(left, int64_t(skipped.size()))));
        if (n <= 0 || timedOut())
            return false;
        left -= n;
        m_bytesRead += n;
    }
    return true;
}

int MpegDecoder::openStream(const Options &options, const Start &start)
{
    m_deadline = options.deadline;
    int error = MPG123_OK;
    m_handle = mpg123_new(nullptr, &error);
    if (!m_handle)
        return BASS_ERROR_MEM;
    m_start = start.offset;
    int64_t expected = -1;
    m_input.audioStart.compare_exchange_strong(expected, start.offset);
    const bool seekable = m_input.isSeekable() && m_input.size() > start.offset;
    // The length comes from the stream's own header, or the file size; the end is never peeked
    // at. Encoder delay and padding are dropped from files only: a live stream has no end, and
    // a server looping a file must not cut the stream at the first loop's end.
    long flags = MPG123_QUIET | MPG123_SKIP_ID3V2 | MPG123_NO_PEEK_END;
    flags |= seekable ? MPG123_FORCE_SEEKABLE | MPG123_GAPLESS : MPG123_SEEKBUFFER;
    mpg123_param(m_handle, MPG123_FLAGS, flags, 0.0);
    mpg123_param(m_handle, MPG123_RESYNC_LIMIT, -1, 0.0); // junk is bounded by kMaxJunkBytes instead
    // A live stream is never seeked: no index of its frames.
    mpg123_param(m_handle, MPG123_INDEX_SIZE, seekable ? -1000 : 0, 0.0);
    allowFormats(MPG123_MONO | MPG123_STEREO);
    if (!skipToStart(seekable && !options.seekOnlyAfterOpen))
        return timedOut() ? BASS_ERROR_TIMEOUT : BASS_ERROR_FILEFORM;
    if (mpg123_replace_reader_handle(m_handle, readInput, seekable ? seekInput : nullptr, nullptr) != MPG123_OK
        || mpg123_open_handle(m_handle, this) != MPG123_OK)
        return BASS_ERROR_MEM;
    if (seekable)
        mpg123_set_filesize(m_handle, static_cast<off_t>(m_input.size() - start.offset));

    long rate = 0;
    int channels = 0;
    int encoding = 0;
    mpg123_frameinfo info{};
    if (mpg123_getformat(m_handle, &rate, &channels, &encoding) != MPG123_OK || mpg123_info(m_handle, &info) != MPG123_OK
        || rate <= 0 || channels <= 0)
        return timedOut() ? BASS_ERROR_TIMEOUT : BASS_ERROR_FILEFORM;
    // The stream keeps the channel count it opened with: later frames with another one are
    // mixed up or down by the decoder. (Every rate stays allowed: a damaged frame that reads
    // as another rate, as at a live stream's reconnect, must not stop decoding.)
    allowFormats(channels == 1 ? MPG123_MONO : MPG123_STEREO);
    m_opening = false;
    m_input.consumed.store(start.offset); // the tags before the first frame are behind the decoder
    m_bytesAtLastSample = m_bytesRead;
    m_rate = static_cast<int>(rate);
    m_channels = channels;
    m_ctype = BASS_CTYPE_STREAM_MP3;
    m_bitRate = int64_t(info.bitrate) * 1000;

    if (seekable) {
        int64_t samples = mp3HeaderSamples(start.head.data(), start.head.size());
        if (samples < 0) {
            // No length header (plain CBR): the estimate from the size, made a whole number of frames.
            const int64_t perFrame = info.layer == 1 ? 384 : (info.layer == 3 && info.version != MPG123_1_0) ? 576 : 1152;
            samples = (int64_t(mpg123_length(m_handle)) + perFrame / 2) / perFrame * perFrame;
        }
        if (samples > 0) {
            m_lengthBytes = samples * m_channels * 2;
            if (info.vbr != MPG123_CBR)
                m_bitRate = (m_input.size() - start.offset) * 8 * m_rate / samples;
        }
    }
    return BASS_OK;
}

Decoder::Status MpegDecoder::decode(std::vector<int16_t> &out)
{
    while (true) {
        off_t frame = 0;
        unsigned char *audio = nullptr;
        size_t bytes = 0;
        const int rc = mpg123_decode_frame(m_handle, &frame, &audio, &bytes);
        if (rc == MPG123_DONE)
            return Status::End;
        if (rc != MPG123_OK && rc != MPG123_NEW_FORMAT)
            return m_bytesRead - m_bytesAtLastSample > kMaxJunkBytes ? Status::Error : Status::End;
        if (bytes > 0) {
            const auto *samples = reinterpret_cast<const int16_t *>(audio);
            out.insert(out.end(), samples, samples + bytes / sizeof(int16_t));
            m_bytesAtLastSample = m_bytesRead;
            return Status::Data;
        }
    }
}

bool MpegDecoder::seek(uint64_t bytePosition)
{
    if (!canSeek())
        return false;
    const auto sample = static_cast<off_t>(bytePosition / (2u * static_cast<unsigned>(m_channels)));
    return mpg123_seek(m_handle, sample, SEEK_SET) >= 0;
}

} // namespace bvaudio
