#include "curl_transfer.h"

#include "bass.h"

#include <curl/curl.h>

#include <mutex>

#if LIBCURL_VERSION_NUM < 0x075400
#error "curl_global_init is thread-safe from libcurl 7.84 on; the module sets it up on a download thread"
#endif

namespace bvaudio {
namespace {

int errorFor(CURLcode code)
{
    switch (code) {
    case CURLE_OK:
        return BASS_OK;
    case CURLE_OPERATION_TIMEDOUT:
        return BASS_ERROR_TIMEOUT;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
        return BASS_ERROR_SSL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return BASS_ERROR_NONET;
    default:
        return BASS_ERROR_FILEOPEN;
    }
}

class CurlTransfer : public HttpTransfer {
public:
    int run(const TransferRequest &request, TransferListener &listener) override;
    void wake() override;

private:
    std::mutex m_mutex;
    CURLM *m_multi = nullptr; // while the transfer runs
    bool m_woken = false;
};

void CurlTransfer::wake()
{
    std::lock_guard lock(m_mutex);
    m_woken = true;
    if (m_multi)
        curl_multi_wakeup(m_multi);
}

int CurlTransfer::run(const TransferRequest &request, TransferListener &listener)
{
    curl_slist *headers = nullptr;
    for (const std::string &h : request.headers)
        headers = curl_slist_append(headers, h.c_str());
    curl_slist *aliases = curl_slist_append(nullptr, "ICY 200 OK");
    const std::string range = std::to_string(request.offset) + "-";

    CURL *curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_HTTP200ALIASES, aliases);
    if (!request.agent.empty())
        curl_easy_setopt(curl, CURLOPT_USERAGENT, request.agent.c_str());
    if (request.offset > 0)
        curl_easy_setopt(curl, CURLOPT_RANGE, range.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https"); // file:// and the rest are not streams
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, static_cast<long>(kMaxRedirects));
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.connectTimeoutMs));
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 0L);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, +[](char *b, size_t s, size_t n, void *u) {
        return static_cast<TransferListener *>(u)->onHeader(b, s * n);
    });
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &listener);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, +[](char *b, size_t s, size_t n, void *u) {
        return static_cast<TransferListener *>(u)->onBody(b, s * n);
    });
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &listener);

    // A multi handle so that wake() can end a wait at once.
    CURLM *multi = curl_multi_init();
    {
        std::lock_guard lock(m_mutex);
        m_multi = multi;
        if (m_woken)
            curl_multi_wakeup(multi);
    }
    curl_multi_add_handle(multi, curl);
    CURLcode code = CURLE_OK;
    int running = 1;
    while (running) {
        // The rest comes before the read, so that the read time-out counts from fresh data.
        listener.restBetweenReads();
        if (curl_multi_perform(multi, &running) != CURLM_OK)
            break;
        if (running && curl_multi_poll(multi, nullptr, 0, listener.pollTimeoutMs(), nullptr) != CURLM_OK)
            break;
        int left = 0;
        while (CURLMsg *message = curl_multi_info_read(multi, &left))
            if (message->msg == CURLMSG_DONE)
                code = message->data.result;
        if (!listener.onProgress())
            break;
    }
    {
        std::lock_guard lock(m_mutex);
        m_multi = nullptr;
    }
    curl_multi_remove_handle(multi, curl);
    curl_multi_cleanup(multi);
    curl_easy_cleanup(curl);
    curl_slist_free_all(headers);
    curl_slist_free_all(aliases);
    return errorFor(code);
}

} // namespace
} // namespace bvaudio

extern "C" __attribute__((visibility("default"))) bvaudio::HttpTransfer *bvaudioCreateCurlTransfer()
{
    // libcurl (and the TLS library under it) is set up once, when the first transfer is made;
    // curl_global_init is thread-safe in the libcurl versions the engine builds against.
    static const bool initialized = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return initialized ? new bvaudio::CurlTransfer : nullptr;
}
