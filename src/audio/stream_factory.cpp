#include "stream_factory.h"

#include "creation_budget.h"
#include "mix/decoder_channel.h"
#include "engine.h"
#include "engine_config.h"
#include "input/playlist_reader.h"
#include "mix/sync_dispatcher.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace bvaudio {
namespace {

constexpr size_t kMaxPlaylistBytes = 64 * 1024;

HSTREAM openFile(const std::string &path, QWORD offset, QWORD length, DWORD flags, CreationBudget &budget,
                 int &error);
HSTREAM openUrl(const NetRequest &request, DWORD flags, DOWNLOADPROC *proc, void *user, CreationBudget &budget,
                int &error);

// Registers a decoding channel over `input`; `prepare` runs on the channel before it is handed out.
template <typename Prepare>
HSTREAM addDecoderStream(std::unique_ptr<ByteInput> input, const Decoder::Options &options, DWORD flags,
                         int &error, Prepare prepare)
{
    error = BASS_OK;
    return Engine::instance().addChannel(
        [&](DWORD h, int &err) -> ChannelPtr {
            auto channel = DecoderChannel::create(h, std::move(input), options, flags, err);
            if (channel)
                prepare(*channel);
            return channel;
        },
        error);
}

// Tries the entries of a playlist in order; the first that opens wins. A list that came
// over the network (`origin` set) names network streams only: its local entries are refused.
HSTREAM openPlaylist(const std::string &text, const std::string &base, const NetRequest *origin, DWORD flags,
                     DOWNLOADPROC *proc, void *user, CreationBudget &budget, int &error)
{
    int lastError = BASS_ERROR_FILEFORM;
    for (const std::string &entry : readPlaylist(text, base)) {
        if (budget.expired()) {
            error = BASS_ERROR_TIMEOUT;
            return 0;
        }
        const bool network = isNetworkLocation(entry);
        if ((origin && !network) || !budget.claim(entry)) {
            lastError = BASS_ERROR_FILEOPEN;
            continue;
        }
        HSTREAM stream = 0;
        if (network) {
            NetRequest request = origin ? *origin : NetRequest{};
            request.url = entry;
            request.offset = 0;
            stream = openUrl(request, flags, proc, user, budget, error);
        } else {
            stream = openFile(entry, 0, 0, flags, budget, error);
        }
        if (stream)
            return stream;
        lastError = error;
    }
    error = lastError;
    return 0;
}

const char *formatForContentType(const std::string &type)
{
    static const std::pair<const char *, const char *> hints[] = {
        {"audio/mpeg", "mp3"},   {"audio/mp3", "mp3"},         {"audio/aacp", "aac"},
        {"audio/aac", "aac"},    {"audio/x-aac", "aac"},       {"audio/ogg", "ogg"},
        {"application/ogg", "ogg"}, {"audio/opus", "ogg"},     {"audio/flac", "flac"},
        {"audio/x-flac", "flac"}, {"audio/wav", "wav"},        {"audio/x-wav", "wav"},
        {"video/mp2t", "mpegts"},
    };
    for (const auto &[prefix, format] : hints)
        if (type.rfind(prefix, 0) == 0)
            return format;
    return nullptr;
}

HSTREAM openFile(const std::string &path, QWORD offset, QWORD length, DWORD flags, CreationBudget &budget,
                 int &error)
{
    std::unique_ptr<ByteInput> input(FileInput::open(path, offset, length));
    if (!input) {
        error = BASS_ERROR_FILEOPEN;
        return 0;
    }
    DWORD playlistMode = 0;
    EngineConfig::get(BASS_CONFIG_NET_PLAYLIST, playlistMode);
    if (playlistMode >= 2) {
        std::ifstream file(path, std::ios::binary);
        std::string text(kMaxPlaylistBytes, '\0');
        file.read(text.data(), static_cast<std::streamsize>(text.size()));
        text.resize(static_cast<size_t>(file.gcount()));
        if (looksLikePlaylist(text.substr(0, 512), {}))
            return openPlaylist(text, path, nullptr, flags, nullptr, nullptr, budget, error);
    }
    Decoder::Options options;
    options.deadline = budget.deadline;
    return addDecoderStream(std::move(input), options, flags, error,
                            [](DecoderChannel &channel) { channel.waitForData(2000); });
}

HSTREAM openUrl(const NetRequest &request, DWORD flags, DOWNLOADPROC *proc, void *user, CreationBudget &budget,
                int &error)
{
    std::unique_ptr<NetInput> input = NetInput::open(request, proc, user, budget.deadline, error);
    if (!input)
        return 0;
    const NetSettings net = EngineConfig::net();
    if (net.playlistMode >= 1 && looksLikePlaylist(input->peek(512), input->contentType())) {
        const std::string text = input->peek(kMaxPlaylistBytes);
        return openPlaylist(text, request.url, &request, flags, proc, user, budget, error);
    }
    NetInput *net_input = input.get();
    Decoder::Options options;
    options.probeBytes = std::max<DWORD>(net.verifySize, 1024);
    options.formatHint = formatForContentType(input->contentType());
    options.seekOnlyAfterOpen = true;
    options.deadline = budget.deadline;
    return addDecoderStream(std::move(input), options, flags, error, [&](DecoderChannel &channel) {
        std::weak_ptr<ChannelHandle> weak = channel.weak_from_this();
        // Taken on the sync thread: the download thread must never hold the channel's last reference.
        const DWORD handle = channel.handle();
        const auto postSync = [weak, handle](DWORD type) {
            return [weak, handle, type] {
                SyncDispatcher::instance().post(handle, [weak, type] {
                    if (HandlePtr c = weak.lock())
                        c->postSyncs(type, 0);
                });
            };
        };
        net_input->setMetadataListener(postSync(BASS_SYNC_META));
        net_input->setReconnectListener(postSync(BASS_SYNC_NET_RECONNECT));
        net_input->setBitrate(channel.bitRate());
        if (net.prebufWait)
            net_input->waitForPrebuffer(budget.remainingMs());
    });
}

} // namespace

HSTREAM createFileStream(const std::string &path, QWORD offset, QWORD length, DWORD flags, int &error)
{
    CreationBudget budget(EngineConfig::net().timeoutMs);
    budget.claim(path);
    return openFile(path, offset, length, flags, budget, error);
}

HSTREAM createUrlStream(const NetRequest &request, DWORD flags, DOWNLOADPROC *proc, void *user, int &error)
{
    CreationBudget budget(EngineConfig::net().timeoutMs);
    budget.claim(request.url);
    return openUrl(request, flags, proc, user, budget, error);
}

HSTREAM createUserFileStream(const BASS_FILEPROCS &procs, void *user, DWORD flags, int &error)
{
    Decoder::Options options;
    options.probeBytes = std::max<DWORD>(EngineConfig::verifySize(), 4096);
    // No wait for data here: the callbacks may need the caller's thread to deliver it.
    return addDecoderStream(std::make_unique<UserFileInput>(procs, user), options, flags, error,
                            [](DecoderChannel &) {});
}

} // namespace bvaudio
