// Small helpers shared by the HTTP client's test files: a URL from text, the
// options the SOAP proxy passes, a scripted answer in pieces, and the body
// the client kept or its COM stream hands out.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "http/http_client.h"
#include "http/loopback_server.h"
#include "http/read_stream_on_socket.h"

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

// A text that lives as long as the test program: a request body that must
// outlive the request.
inline const std::string& Literal(const char* text)
{
    static std::vector<std::unique_ptr<std::string>> kept;
    kept.push_back(std::make_unique<std::string>(text));
    return *kept.back();
}

// The answer played in the given pieces with a short pause between them,
// after the request has been read.
inline std::vector<Step> Answer(const std::vector<std::string>& pieces)
{
    std::vector<Step> script{ReadRequest()};
    for (const std::string& piece : pieces) {
        script.push_back(SendBytes(piece));
        script.push_back(Delay(15));
    }
    return script;
}

// The body as the COM stream hands it out, read three bytes at a time.
template <class TClient>
std::string StreamText(const TClient& client)
{
    CReadStreamOnSocket stream;
    stream.Attach(&client);
    std::string text;
    char block[3];
    ULONG read = 0;
    while (stream.Read(block, sizeof block, &read) == S_OK && read != 0) {
        text.append(block, read);
    }
    return text;
}

template <class TClient>
std::string Body(const TClient& client)
{
    return std::string(client.ResponseData() + client.HeaderOffset() + client.HeaderLength(),
                       client.ResponseBodyLength());
}

}  // namespace corvel::http::testing
