#include "ffmpeg_decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include <algorithm>

namespace bvaudio {
namespace {

constexpr int kIoBufferSize = 32 * 1024;

// Nested locations (playlists inside a stream, external references) are never opened.
int refuseNestedOpen(AVFormatContext *, AVIOContext **, const char *, int, AVDictionary **)
{
    return AVERROR(EPERM);
}

DWORD ctypeFor(const char *formatName, AVCodecID codec, HPLUGIN &plugin)
{
    plugin = 0;
    const std::string name = formatName ? formatName : "";
    if (name == "wav")
        return BASS_CTYPE_STREAM_WAV;
    if (name.find("mp4") != std::string::npos || name.find("mov") != std::string::npos)
        return BASS_CTYPE_STREAM_MP4;
    if (name == "mpegts")
        plugin = kHlsPlugin;
    switch (codec) {
    case AV_CODEC_ID_MP3:
    case AV_CODEC_ID_MP2:
        return BASS_CTYPE_STREAM_MP3;
    case AV_CODEC_ID_AAC:
        return BASS_CTYPE_STREAM_AAC;
    case AV_CODEC_ID_VORBIS:
        return BASS_CTYPE_STREAM_VORBIS;
    case AV_CODEC_ID_OPUS:
        plugin = kOpusPlugin;
        return BASS_CTYPE_STREAM_OPUS;
    case AV_CODEC_ID_FLAC:
        return BASS_CTYPE_STREAM_FLAC;
    default:
        return BASS_CTYPE_STREAM;
    }
}

} // namespace

int64_t FfmpegDecoder::seekInput(void *opaque, int64_t offset, int whence)
{
    auto &input = static_cast<FfmpegDecoder *>(opaque)->m_input;
    if (whence & AVSEEK_SIZE)
        return input.size();
    whence &= ~AVSEEK_FORCE;
    if (whence != SEEK_SET)
        return -1;
    return input.seek(offset) ? offset : -1;
}

int FfmpegDecoder::readPacket(void *opaque, uint8_t *buffer, int size)
{
    auto *decoder = static_cast<FfmpegDecoder *>(opaque);
    if (decoder->m_opening && decoder->m_bytesRead >= kMaxOpenBytes)
        return AVERROR(EIO); // detection has read enough to decide
    // FFmpeg asks for more only when it has parsed all it was given: at this moment
    // the consumed position is exact, also for a callback that reads CURRENT.
    if (!decoder->m_opening)
        decoder->m_input.consumed.store(avio_tell(decoder->m_io));
    const int n = decoder->m_input.read(buffer, size);
    if (n < 0)
        return AVERROR(EIO);
    decoder->m_bytesRead += n;
    return n == 0 ? AVERROR_EOF : n;
}

int FfmpegDecoder::interrupted(void *opaque)
{
    const auto *decoder = static_cast<const FfmpegDecoder *>(opaque);
    return decoder->m_opening && decoder->m_deadline != std::chrono::steady_clock::time_point{}
           && std::chrono::steady_clock::now() >= decoder->m_deadline;
}

FfmpegDecoder::~FfmpegDecoder()
{
    av_frame_free(&m_frame);
    av_packet_free(&m_packet);
    avcodec_free_context(&m_codec);
    avformat_close_input(&m_format);
    if (m_io) {
        av_freep(&m_io->buffer);
        avio_context_free(&m_io);
    }
}

std::unique_ptr<Decoder> FfmpegDecoder::open(ByteInput &input, const Options &options, int &error)
{
    // Bad input is reported through error codes; FFmpeg's own log stays quiet.
    static const bool quiet = (av_log_set_level(AV_LOG_QUIET), true);
    (void)quiet;
    std::unique_ptr<FfmpegDecoder> decoder(new FfmpegDecoder(input));
    error = decoder->openStream(options);
    if (error != BASS_OK)
        return nullptr;
    return decoder;
}

int FfmpegDecoder::openStream(const Options &options)
{
    auto *ioBuffer = static_cast<uint8_t *>(av_malloc(kIoBufferSize));
    m_deadline = options.deadline;
    m_io = avio_alloc_context(ioBuffer, kIoBufferSize, 0, this, readPacket,
                              nullptr, m_input.isSeekable() ? seekInput : nullptr);
    m_format = avformat_alloc_context();
    m_packet = av_packet_alloc();
    m_frame = av_frame_alloc();
    if (!m_io || !m_format || !m_packet || !m_frame) {
        if (!m_io)
            av_free(ioBuffer);
        return BASS_ERROR_MEM;
    }
    const int seekable = m_input.isSeekable() ? AVIO_SEEKABLE_NORMAL : 0;
    m_io->seekable = options.seekOnlyAfterOpen ? 0 : seekable;
    m_format->pb = m_io;
    m_format->flags |= AVFMT_FLAG_CUSTOM_IO;
    m_format->io_open = refuseNestedOpen;
    if (!m_input.isSeekable())
        m_format->max_index_size = 0; // a live stream is never seeked: keep no index of its frames
    m_format->interrupt_callback = AVIOInterruptCB{interrupted, this};
    if (options.probeBytes > 0) {
        // Detect the format from the first probeBytes; read a little more for codec parameters.
        m_format->format_probesize = static_cast<int>(options.probeBytes);
        m_format->probesize = std::max<int64_t>(options.probeBytes, 32 * 1024);
        m_format->max_analyze_duration = AV_TIME_BASE / 2;
    }
    const AVInputFormat *hint = options.formatHint ? av_find_input_format(options.formatHint) : nullptr;
    const std::string url = m_input.name;
    AVDictionary *formatOptions = nullptr;
    av_dict_set(&formatOptions, "format_whitelist", kFormats, 0);
    const int opened = avformat_open_input(&m_format, url.c_str(), hint, &formatOptions);
    av_dict_free(&formatOptions);
    if (opened < 0) {
        m_format = nullptr; // freed by avformat_open_input on failure
        return interrupted(this) ? BASS_ERROR_TIMEOUT : BASS_ERROR_FILEFORM;
    }
    if (avformat_find_stream_info(m_format, nullptr) < 0)
        return interrupted(this) ? BASS_ERROR_TIMEOUT : BASS_ERROR_FILEFORM;

    const AVCodec *codec = nullptr;
    m_streamIndex = av_find_best_stream(m_format, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (m_streamIndex == AVERROR_DECODER_NOT_FOUND)
        return BASS_ERROR_CODEC;
    if (m_streamIndex < 0)
        return BASS_ERROR_FILEFORM;
    AVStream *stream = m_format->streams[m_streamIndex];
    for (unsigned i = 0; i < m_format->nb_streams; ++i)
        if (static_cast<int>(i) != m_streamIndex)
            m_format->streams[i]->discard = AVDISCARD_ALL;

    m_codec = avcodec_alloc_context3(codec);
    if (!m_codec || avcodec_parameters_to_context(m_codec, stream->codecpar) < 0)
        return BASS_ERROR_MEM;
    m_codec->pkt_timebase = stream->time_base;
    if (avcodec_open2(m_codec, codec, nullptr) < 0)
        return BASS_ERROR_CODEC;
    if (m_codec->sample_rate <= 0 || m_codec->ch_layout.nb_channels <= 0)
        return BASS_ERROR_FILEFORM;

    m_rate = m_codec->sample_rate;
    m_channels = m_codec->ch_layout.nb_channels;
    m_resolution = static_cast<DWORD>(stream->codecpar->bits_per_raw_sample
                                          ? stream->codecpar->bits_per_raw_sample
                                          : stream->codecpar->bits_per_coded_sample);
    m_bitRate = stream->codecpar->bit_rate > 0 ? stream->codecpar->bit_rate : m_format->bit_rate;
    m_ctype = ctypeFor(m_format->iformat->name, m_codec->codec_id, m_plugin);

    int64_t durationUs = AV_NOPTS_VALUE;
    if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0)
        durationUs = av_rescale_q(stream->duration, stream->time_base, AV_TIME_BASE_Q);
    else if (m_format->duration != AV_NOPTS_VALUE && m_format->duration > 0)
        durationUs = m_format->duration;
    if (durationUs != AV_NOPTS_VALUE && m_input.size() >= 0) {
        int64_t frames = av_rescale(durationUs, m_rate, AV_TIME_BASE);
        m_lengthBytes = frames * m_channels * 2;
    }

    m_io->seekable = seekable;
    m_opening = false;
    m_bytesAtLastSample = m_bytesRead;

    if (!m_converter.configure(m_codec->ch_layout, m_codec->sample_fmt, m_rate))
        return BASS_ERROR_FORMAT;
    return BASS_OK;
}

void FfmpegDecoder::appendFrame(const AVFrame *frame, std::vector<int16_t> &out)
{
    const int frames = frame->nb_samples;
    int64_t firstSample = -1;
    if (frame->best_effort_timestamp != AV_NOPTS_VALUE) {
        AVStream *stream = m_format->streams[m_streamIndex];
        firstSample = av_rescale_q(frame->best_effort_timestamp, stream->time_base, AVRational{1, m_rate});
        if (stream->start_time != AV_NOPTS_VALUE)
            firstSample -= av_rescale_q(stream->start_time, stream->time_base, AVRational{1, m_rate});
    }
    m_convertBuffer.resize(static_cast<size_t>(frames) * m_channels);
    const int converted = m_converter.convert(m_convertBuffer.data(), frame->extended_data, frames);
    if (converted <= 0)
        return;
    int skip = 0;
    if (m_skipToSample >= 0) {
        if (firstSample >= 0 && firstSample < m_skipToSample)
            skip = static_cast<int>(std::min<int64_t>(converted, m_skipToSample - firstSample));
        if (skip < converted)
            m_skipToSample = -1;
    }
    out.insert(out.end(), m_convertBuffer.begin() + static_cast<ptrdiff_t>(skip) * m_channels,
               m_convertBuffer.begin() + static_cast<ptrdiff_t>(converted) * m_channels);
}

Decoder::Status FfmpegDecoder::receiveFrames(std::vector<int16_t> &out)
{
    const size_t before = out.size();
    while (true) {
        int rc = avcodec_receive_frame(m_codec, m_frame);
        if (rc == AVERROR(EAGAIN))
            return Status::Data;
        if (rc == AVERROR_EOF)
            return out.size() > before ? Status::Data : Status::End;
        if (rc < 0)
            return Status::Error;
        appendFrame(m_frame, out);
        av_frame_unref(m_frame);
    }
}

Decoder::Status FfmpegDecoder::decode(std::vector<int16_t> &out)
{
    const size_t before = out.size();
    int errorsInRow = 0;
    while (out.size() == before) {
        if (m_draining) {
            Status status = receiveFrames(out);
            return status == Status::Data && out.size() == before ? Status::End : status;
        }
        if (m_bytesRead - m_bytesAtLastSample > kMaxJunkBytes)
            return Status::Error; // a long run of bytes that decode to nothing
        int rc = av_read_frame(m_format, m_packet);
        if (rc < 0) {
            avcodec_send_packet(m_codec, nullptr); // flush the decoder's delayed frames
            m_draining = true;
            continue;
        }
        m_input.consumed.store(avio_tell(m_format->pb));
        if (m_packet->stream_index == m_streamIndex) {
            int64_t expected = -1;
            if (m_input.audioStart.load() < 0 && m_packet->pos >= 0)
                m_input.audioStart.compare_exchange_strong(expected, m_packet->pos);
            rc = avcodec_send_packet(m_codec, m_packet);
            av_packet_unref(m_packet);
            // A corrupt packet is skipped; only a long run of them ends the stream.
            if (rc < 0 && rc != AVERROR(EAGAIN)) {
                if (++errorsInRow > 32)
                    return Status::Error;
                continue;
            }
            errorsInRow = 0;
            if (receiveFrames(out) == Status::Error)
                return Status::Error;
        } else {
            av_packet_unref(m_packet);
        }
    }
    m_bytesAtLastSample = m_bytesRead;
    return Status::Data;
}

bool FfmpegDecoder::seek(uint64_t bytePosition)
{
    if (!canSeek())
        return false;
    int64_t sample = static_cast<int64_t>(bytePosition / (2u * static_cast<unsigned>(m_channels)));
    AVStream *stream = m_format->streams[m_streamIndex];
    int64_t ts = av_rescale_q(sample, AVRational{1, m_rate}, stream->time_base);
    if (stream->start_time != AV_NOPTS_VALUE)
        ts += stream->start_time;
    if (av_seek_frame(m_format, m_streamIndex, ts, AVSEEK_FLAG_BACKWARD) < 0)
        return false;
    avcodec_flush_buffers(m_codec);
    m_draining = false;
    m_skipToSample = sample;
    return true;
}

} // namespace bvaudio

extern "C" __attribute__((visibility("default"))) bvaudio::Decoder *
bvaudioOpenFfmpegDecoder(bvaudio::ByteInput &input, const bvaudio::Decoder::Options &options, int &error)
{
    return bvaudio::FfmpegDecoder::open(input, options, error).release();
}
