#include "decode/decoder.h"

#include "decode/ffmpeg/ffmpeg_decoder.h"
#include "module_loader.h"
#include "decode/mp3_info.h"
#include "decode/mpeg_decoder.h"


#include <algorithm>
#include <cstring>
#include <string>

namespace bvaudio {
namespace {

// Growing looks for two frames in a row: a live stream's first kilobytes usually suffice.
constexpr size_t kSniffSizes[] = {2048, 8192, 32768};
// The largest tag skipped on an input that cannot seek (its bytes are looked at from a buffer).
constexpr int64_t kMaxBufferedTag = 256 * 1024;

// `size` bytes at `offset` without consuming them: by seeking where the input may seek
// now, otherwise from the input's look-ahead buffer.
std::vector<uint8_t> look(ByteInput &input, bool bySeek, int64_t offset, size_t size)
{
    if (!bySeek) {
        const std::string bytes = input.peek(static_cast<size_t>(offset) + size);
        if (bytes.size() <= static_cast<size_t>(offset))
            return {};
        return std::vector<uint8_t>(bytes.begin() + offset, bytes.end());
    }
    std::vector<uint8_t> bytes(size);
    size_t got = 0;
    if (input.seek(offset)) {
        for (int n = 1; got < size && n > 0; got += static_cast<size_t>(n))
            n = std::max(input.read(bytes.data() + got, static_cast<int>(size - got)), 0);
    }
    bytes.resize(got);
    input.seek(0);
    return bytes;
}

// Containers whose payload could hold MPEG audio frames by chance: FFmpeg reads those.
bool startsAsContainer(const std::vector<uint8_t> &b)
{
    const auto magic = [&](size_t at, const char *tag, size_t n) {
        return b.size() >= at + n && std::memcmp(b.data() + at, tag, n) == 0;
    };
    return magic(0, "OggS", 4) || magic(0, "fLaC", 4) || magic(0, "RIFF", 4) || magic(0, "FORM", 4)
           || magic(4, "ftyp", 4) || magic(0, "\x1a\x45\xdf\xa3", 4) || magic(0, "\x30\x26\xb2\x75", 4)
           || (b.size() > 188 && b[0] == 0x47 && b[188] == 0x47); // MPEG-TS packets
}

// Where an MPEG audio stream begins after any ID3v2 tag; no offset when the input is something else.
MpegDecoder::Start findMpegStart(ByteInput &input, const Decoder::Options &options)
{
    if (options.formatHint && std::strcmp(options.formatHint, "mp3") != 0)
        return {};
    const bool bySeek = input.isSeekable() && !options.seekOnlyAfterOpen;
    const std::vector<uint8_t> head = look(input, bySeek, 0, 10);
    const int64_t tag = id3v2TagSize(head.data(), head.size());
    if (!bySeek && tag > kMaxBufferedTag)
        return {};
    for (size_t size : kSniffSizes) {
        const std::vector<uint8_t> bytes = look(input, bySeek, tag, size);
        if (startsAsContainer(bytes))
            return {};
        const int64_t at = mpegAudioStart(bytes.data(), bytes.size());
        if (at >= 0)
            return {tag + at, std::vector<uint8_t>(bytes.begin() + at, bytes.end())};
        if (bytes.size() < size)
            break; // the input has no more to show
    }
    return {};
}

BvFfmpegOpenFunction *ffmpegOpener()
{
    static BvFfmpegOpenFunction *const opener = reinterpret_cast<BvFfmpegOpenFunction *>(
        moduleSymbol(BV_FFMPEG_MODULE_NAME, BV_FFMPEG_MODULE_BUILD_PATH, BV_FFMPEG_OPEN_SYMBOL));
    return opener;
}

} // namespace

std::unique_ptr<Decoder> Decoder::open(ByteInput &input, const Options &options, int &error)
{
    const MpegDecoder::Start start = findMpegStart(input, options);
    if (start.offset >= 0)
        return MpegDecoder::open(input, options, start, error);
    BvFfmpegOpenFunction *openFfmpeg = ffmpegOpener();
    if (!openFfmpeg) {
        error = BASS_ERROR_CODEC; // the module with every other format is not installed
        return nullptr;
    }
    return std::unique_ptr<Decoder>(openFfmpeg(input, options, error));
}

} // namespace bvaudio
