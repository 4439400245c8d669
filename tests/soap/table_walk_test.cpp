// The table rules the writer and the reader share, each case run through both:
// what a count member holds (the writer announces it, the reader stores it
// and refuses what no count may hold) and which members travel from which
// side (the client writes a request the server reads, the server writes a
// response the client reads).
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "soap/request_writer.h"
#include "soap/write_stream.h"
#include "soap_reader_fixture.h"

namespace corvel::soap {
namespace {

using testing::ServerHandler;
using testing::TableHandler;
using testing::Text;
using testing::ToText;
namespace ts = test_service;

struct Written {
    HRESULT result;
    std::string text;
};

Written Write(std::size_t operation, void* parameters, bool clientRole)
{
    RequestWriterContext context{clientRole, DefaultMemoryManager(), ts::ServiceNamespace,
                                 static_cast<int>(sizeof(ts::ServiceNamespace) - 1)};
    CWriteStreamOnCString stream;
    HRESULT result = WriteEnvelope(context, ts::HeaderTable[operation], nullptr, ts::OperationTable[operation],
                                   parameters, &stream);
    return {result, stream.Text()};
}

struct ArraysRecord {
    ts::ArraysParameters parameters{};
    std::int32_t numbers[3] = {4, 5, 6};
    ts::Point points[2] = {{1, 2, nullptr}, {3, 4, nullptr}};
    ts::Item items[1] = {{nullptr, 1.25}};

    ArraysRecord()
    {
        parameters.numbers = numbers;
        parameters.numberCount = 3;
        parameters.points = points;
        parameters.pointCount = 2;
        parameters.items = items;
        parameters.itemCount = 1;
        parameters.colors[0] = ts::Red;
        parameters.colors[1] = ts::Green;
    }
};

// A count is read by its own type (int, long, short here) and means the same
// to both: the writer announces that many items, the reader stores that many;
// a count no count member may hold is refused by both rather than cut to its
// low bits.
TEST(TableWalk, CountMembersMeanOneThingToWriterAndReader)
{
    struct Case {
        const char* what;
        std::function<void(ts::ArraysParameters&)> set;
        const char* announced;      // what the writer announces, or what the reader is asked to take
        std::size_t count;          // items the reader stores; 0: refused by both
        std::function<std::int64_t(const ts::ArraysParameters&)> stored;
    };
    auto points = [](const ts::ArraysParameters& p) { return p.pointCount; };
    const Case cases[] = {
        {"int count", [](ts::ArraysParameters&) {}, "xsd:int[3]", 3,
         [](const ts::ArraysParameters& p) { return std::int64_t{p.numberCount}; }},
        {"short count", [](ts::ArraysParameters&) {}, "Item[1]", 1,
         [](const ts::ArraysParameters& p) { return std::int64_t{p.itemCount}; }},
        {"long count", [](ts::ArraysParameters&) {}, "Point[2]", 2, points},
        {"long count past 32 bits", [](ts::ArraysParameters& p) { p.pointCount = (std::int64_t{1} << 32) | 2; },
         "Point[4294967298]", 0, points},
        {"long count past a signed 32-bit number", [](ts::ArraysParameters& p) { p.pointCount = std::int64_t{1} << 31; },
         "Point[2147483648]", 0, points},
    };
    ArraysRecord good;
    Written goodRequest = Write(ts::kArrays, &good.parameters, true);
    ASSERT_EQ(goodRequest.result, S_OK);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ArraysRecord record;
        c.set(record.parameters);
        Written written = Write(ts::kArrays, &record.parameters, true);
        const std::string announcement = std::string(c.announced) + "\"";
        ServerHandler server;
        if (c.count == 0) {
            EXPECT_EQ(written.result, E_FAIL) << written.text;
            // The reader asked to take that many items refuses them too.
            std::string request = goodRequest.text;
            request.replace(request.find("Point[2]\""), 9, announcement);
            EXPECT_EQ(server.Read(request), E_FAIL);
            EXPECT_EQ(server.handler.readFailure, SoapReadFailure::arrayTooLarge);
            continue;
        }
        ASSERT_EQ(written.result, S_OK);
        EXPECT_NE(written.text.find(announcement), std::string::npos) << written.text;
        ASSERT_EQ(server.Read(written.text), S_OK) << SoapReadFailureName(server.handler.readFailure);
        EXPECT_EQ(c.stored(server.Parameters<ts::ArraysParameters>()), static_cast<std::int64_t>(c.count));
    }
}

// Each member of Structures by its direction: in members go from the client
// to the server, out members back, the in-and-out one both ways.
TEST(TableWalk, MembersTravelByOneRuleInBothRoles)
{
    struct Case {
        const char* element;
        bool toServer;
        bool toClient;
        std::function<std::int32_t(const ts::StructuresParameters&)> value;
    };
    const Case cases[] = {
        {"<point>", true, false, [](const ts::StructuresParameters& p) { return p.point.x; }},
        {"<shape>", true, false, [](const ts::StructuresParameters& p) { return p.shape.origin.y; }},
        {"<outPoint>", false, true, [](const ts::StructuresParameters& p) { return p.outPoint.x; }},
        {"<outShape>", false, true, [](const ts::StructuresParameters& p) { return p.outShape.origin.y; }},
        {"<mode>", true, true, [](const ts::StructuresParameters& p) { return p.mode; }},
    };
    ts::StructuresParameters sent{};
    sent.point = {1, 0, nullptr};
    sent.shape = {{0, 2, nullptr}, ts::Blue};
    sent.outPoint = {3, 0, nullptr};
    sent.outShape = {{0, 4, nullptr}, ts::Red};
    sent.mode = ts::Green;
    Written request = Write(ts::kStructures, &sent, true);
    ASSERT_EQ(request.result, S_OK);

    ServerHandler server;
    ASSERT_EQ(server.Read(request.text), S_OK) << SoapReadFailureName(server.handler.readFailure);
    ts::StructuresParameters& received = server.Parameters<ts::StructuresParameters>();
    ts::StructuresParameters readByServer = received;
    // The server answers with values of its own in every member.
    received.point = {11, 0, nullptr};
    received.shape = {{0, 12, nullptr}, ts::Red};
    received.outPoint = {13, 0, nullptr};
    received.outShape = {{0, 14, nullptr}, ts::Blue};
    received.mode = ts::Blue;
    const ts::StructuresParameters answered = received;
    Written response;
    response.result = server.Respond(&response.text);
    ASSERT_EQ(response.result, S_OK);

    TableHandler client(ts::OperationTable, ts::HeaderTable);
    ts::StructuresParameters readByClient{};
    ASSERT_EQ(client.Parse(ts::kStructures, &readByClient, response.text), S_OK)
        << SoapReadFailureName(client.readFailure) << "\n" << response.text;

    for (const Case& c : cases) {
        SCOPED_TRACE(c.element);
        EXPECT_EQ(request.text.find(c.element) != std::string::npos, c.toServer) << request.text;
        EXPECT_EQ(c.value(readByServer), c.toServer ? c.value(sent) : 0);
        EXPECT_EQ(response.text.find(c.element) != std::string::npos, c.toClient) << response.text;
        EXPECT_EQ(c.value(readByClient), c.toClient ? c.value(answered) : 0);
    }
}

}  // namespace
}  // namespace corvel::soap
