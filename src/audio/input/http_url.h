// An http(s) URL taken apart for a request, and the redirect targets it leads to.
#pragma once

#include <string>

namespace bvaudio {

struct HttpUrl {
    std::string scheme;   // "http" or "https", lower case
    std::string userInfo; // "user:password" as written (percent-encoded), empty when none
    std::string host;     // without brackets for IPv6
    std::string port;     // as written, or the scheme's default
    std::string target;   // path and query, at least "/"; never the fragment

    // False for another scheme, an empty host, a bad port or bytes a URL may not hold.
    static bool parse(const std::string &text, HttpUrl &url);
    // The "Host" header's value: the port only when it is not the scheme's default.
    std::string hostHeader() const;
    // Scheme, host and port: what must match for credentials to follow a redirect.
    std::string origin() const;
    // "Basic ..." for the user info, percent-decoded; empty when the URL holds none.
    std::string basicAuthorization() const;
};

// `url` with the bytes a URL may not carry as they are percent-encoded.
std::string encodedUrl(const std::string &url);

// The absolute URL that a Location header names, seen from `base`: absolute, scheme-relative,
// absolute-path or relative references. Bytes a URL may not hold are percent-encoded.
std::string resolveLocation(const std::string &base, const std::string &location);

} // namespace bvaudio
