// HTTP(S) over libcurl, in a module of its own: the engine loads it for the first https
// request (or when a proxy is configured), so that plain streams map no TLS library.
#pragma once

#include "input/http_transfer.h"

// The module's one entry point, looked up by this name.
#define BV_CURL_CREATE_SYMBOL "bvaudioCreateCurlTransfer"
extern "C" {
using BvCurlCreateFunction = bvaudio::HttpTransfer *();
}
