#include "input/http_transfer.h"

#include "bass.h"
#include "input/curl/curl_transfer.h"
#include "module_loader.h"
#include "input/socket_transfer.h"
#include "text_util.h"

#include <cstdlib>

namespace bvaudio {
namespace {

// libcurl honours these for plain http; the engine's own sockets do not speak to proxies.
bool proxyConfigured()
{
    for (const char *name : {"http_proxy", "all_proxy", "ALL_PROXY"}) {
        const char *value = std::getenv(name);
        if (value && *value)
            return true;
    }
    return false;
}

} // namespace

std::unique_ptr<HttpTransfer> HttpTransfer::create(const std::string &url, int &error)
{
    const std::string scheme = toLower(url.substr(0, url.find("://")));
    if (scheme == "http" && !proxyConfigured())
        return std::make_unique<SocketTransfer>();
    if (scheme != "http" && scheme != "https") {
        error = BASS_ERROR_FILEOPEN; // not a network stream (a local file is opened as one)
        return nullptr;
    }
    std::unique_ptr<HttpTransfer> curl = createCurl();
    if (!curl)
        error = BASS_ERROR_SSL;
    return curl;
}

std::unique_ptr<HttpTransfer> HttpTransfer::createCurl()
{
    static BvCurlCreateFunction *const create = reinterpret_cast<BvCurlCreateFunction *>(
        moduleSymbol(BV_CURL_MODULE_NAME, BV_CURL_MODULE_BUILD_PATH, BV_CURL_CREATE_SYMBOL));
    return std::unique_ptr<HttpTransfer>(create ? create() : nullptr);
}

} // namespace bvaudio
