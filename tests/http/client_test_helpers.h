// Small helpers shared by the HTTP client's test files: a URL from text, the
// options the SOAP proxy passes, and the body the client kept.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "http/http_client.h"

namespace corvel::http::testing {

inline CParsedUrl UrlOf(const std::string& text)
{
    CParsedUrl url;
    EXPECT_TRUE(url.Parse(text.c_str())) << text;
    return url;
}

// The body must outlive the request: a literal or a string the caller keeps.
inline RequestOptions PostOptions(const std::string& body, std::uint32_t timeoutMs = 2000)
{
    RequestOptions options;
    options.requestMethod = "POST";
    options.contentType = "text/xml; charset=utf-8";
    options.extraHeaders = "Accept: text/xml\r\n";
    options.body = body.data();
    options.bodyLength = static_cast<std::uint32_t>(body.size());
    options.flags = RequestOptions::followRedirects | RequestOptions::checkStatus | RequestOptions::sendInBlocks;
    options.timeoutMs = timeoutMs;
    options.sendBlockSize = 4096;
    options.readBlockSize = 4096;
    return options;
}

template <class TClient>
std::string Body(const TClient& client)
{
    return std::string(client.ResponseData() + client.HeaderOffset() + client.HeaderLength(),
                       client.ResponseBodyLength());
}

}  // namespace corvel::http::testing
