#include "input/http_url.h"

#include "text_util.h"

#include <cstring>

namespace bvaudio {
namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string percentDecoded(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string base64(const std::string &bytes)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t chunk = static_cast<uint8_t>(bytes[i]) << 16;
        if (i + 1 < bytes.size())
            chunk |= static_cast<uint8_t>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size())
            chunk |= static_cast<uint8_t>(bytes[i + 2]);
        out += alphabet[(chunk >> 18) & 63];
        out += alphabet[(chunk >> 12) & 63];
        out += i + 1 < bytes.size() ? alphabet[(chunk >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? alphabet[chunk & 63] : '=';
    }
    return out;
}

const char *defaultPort(const std::string &scheme)
{
    return scheme == "https" ? "443" : "80";
}

} // namespace

std::string encodedUrl(const std::string &url)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : url) {
        if (c <= 0x20 || c >= 0x7f || std::strchr("\"<>\\^`{|}", c)) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool HttpUrl::parse(const std::string &text, HttpUrl &url)
{
    const size_t schemeEnd = text.find("://");
    if (schemeEnd == std::string::npos || text != encodedUrl(text))
        return false;
    url.scheme = toLower(text.substr(0, schemeEnd));
    if (url.scheme != "http" && url.scheme != "https")
        return false;
    const size_t authorityStart = schemeEnd + 3;
    const size_t authorityEnd = std::min(text.find_first_of("/?#", authorityStart), text.size());
    std::string authority = text.substr(authorityStart, authorityEnd - authorityStart);
    const size_t at = authority.rfind('@');
    url.userInfo = at == std::string::npos ? std::string() : authority.substr(0, at);
    authority.erase(0, at == std::string::npos ? 0 : at + 1);

    std::string port;
    if (!authority.empty() && authority[0] == '[') {
        const size_t close = authority.find(']');
        if (close == std::string::npos)
            return false;
        url.host = authority.substr(1, close - 1);
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':')
                return false;
            port = authority.substr(close + 2);
        }
    } else {
        const size_t colon = authority.find(':');
        url.host = authority.substr(0, colon);
        if (colon != std::string::npos)
            port = authority.substr(colon + 1);
    }
    if (url.host.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos
        || (!port.empty() && std::stoi(port) > 65535))
        return false;
    url.port = port.empty() ? defaultPort(url.scheme) : port;

    std::string target = text.substr(authorityEnd);
    target.erase(std::min(target.find('#'), target.size()));
    url.target = target.empty() || target[0] != '/' ? "/" + target : target;
    return true;
}

std::string HttpUrl::hostHeader() const
{
    const std::string name = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return port == defaultPort(scheme) ? name : name + ":" + port;
}

std::string HttpUrl::origin() const
{
    return scheme + "://" + toLower(hostHeader()) + ":" + port;
}

std::string HttpUrl::basicAuthorization() const
{
    return userInfo.empty() ? std::string() : "Basic " + base64(percentDecoded(userInfo));
}

std::string resolveLocation(const std::string &base, const std::string &location)
{
    const std::string target = encodedUrl(trimmed(location));
    if (target.find("://") != std::string::npos && target.find("://") < target.find_first_of("/?#"))
        return target;
    HttpUrl from;
    if (!HttpUrl::parse(base, from))
        return {};
    if (target.rfind("//", 0) == 0)
        return from.scheme + ":" + target;
    const std::string root = from.scheme + "://" + from.hostHeader();
    if (!target.empty() && target[0] == '/')
        return root + target;
    std::string directory = from.target.substr(0, from.target.find('?'));
    directory.erase(directory.rfind('/') + 1);
    return root + directory + target;
}

} // namespace bvaudio
