// The response reader over the terminal service's Test and the test service:
// nil, empty and absent values, gathered markup, unknown headers and
// mustUnderstand, envelope order, members read twice, simple values, enumerations,
// structures, ChainedOut (out member first and not first), required headers,
// elements after the Body, binary and ignored values, names sharing a hash,
// and the SAX reader underneath.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "soap_reader_fixture.h"

namespace corvel::soap {
namespace {

using testing::Envelope;
using testing::ServerHandler;
using testing::TableHandler;
using testing::Text;
using testing::ToText;
namespace ts = test_service;
namespace term = terminal_service;

constexpr std::size_t kTest = term::kTestOperationIndex;
using R = SoapReadFailure;
constexpr R kRead = R::none;

struct TestCase {
    const char* name;
    std::string response;
    R failure;  // kRead: the response is read
    bool resultNull;
    Text result;
};

TEST(ResponseReader, TestResultCases)
{
    const std::string wrapped = "<m:TestResponse>%</m:TestResponse>";
    auto body = [&](const std::string& inner) {
        std::string text = wrapped;
        return Envelope(text.replace(text.find('%'), 1, inner));
    };
    const TestCase cases[] = {
        {"plain", body("<Result>abc</Result>"), kRead, false, OLESTR("abc")},
        {"any wrapper name", Envelope("<Whatever><Result>abc</Result></Whatever>"), kRead, false, OLESTR("abc")},
        {"entities resolved", body("<Result>a&lt;b &amp; c</Result>"), kRead, false, OLESTR("a<b & c")},
        {"empty element", body("<Result/>"), kRead, false, Text()},
        {"nil true", body("<Result xsi:nil=\"true\"/>"), kRead, true, Text()},
        {"nil 1", body("<Result xsi:nil=\"1\">ignored</Result>"), kRead, true, Text()},
        {"nil false", body("<Result xsi:nil=\"false\">x</Result>"), kRead, false, OLESTR("x")},
        {"nil no", body("<Result xsi:nil=\"no\">x</Result>"), kRead, false, OLESTR("x")},
        {"absent", body(""), kRead, true, Text()},
        {"gathered markup", body("<Result>a<b x=\"1\">c</b>d</Result>"), kRead, false, OLESTR("a<b x=\"1\">c</b>d")},
        {"twice", body("<Result>a</Result><Result>b</Result>"), R::duplicateElement, true, Text()},
        {"other member", body("<Other>a</Other>"), R::unexpectedElement, true, Text()},
        {"href on a string", body("<Result href=\"#id1\"/>"), R::badReference, true, Text()},
        {"fault as wrapper", Envelope("<soap:Fault><faultcode>soap:Server</faultcode></soap:Fault>"), R::unexpectedElement, true,
         Text()},
        {"body before envelope",
         "<soap:Body xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><m:T xmlns:m=\"urn:x\"/></soap:Body>",
         R::unexpectedElement, true, Text()},
        {"envelope in another namespace",
         "<soap:Envelope xmlns:soap=\"urn:other\"><soap:Body><T><Result>a</Result></T></soap:Body></soap:Envelope>",
         R::wrongNamespace, true, Text()},
        {"other envelope-level element ignored",
         "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Extra><soap:Deeper/>"
         "</soap:Extra><soap:Body><T><Result>a</Result></T></soap:Body></soap:Envelope>",
         kRead, false, OLESTR("a")},
        {"second header",
         "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Header/><soap:Header/>"
         "<soap:Body><T><Result>a</Result></T></soap:Body></soap:Envelope>",
         R::unexpectedElement, true, Text()},
        {"not well formed", body("<Result>abc</Reslt>"), R::notWellFormed, true, Text()},
        {"empty document", "", R::notWellFormed, true, Text()},
        {"nested deeper than the reader allows",
         body("<Result>" + [] {
             std::string deep;
             for (int i = 0; i < platform::kMaxSaxElementDepth; ++i) {
                 deep += "<b>";
             }
             return deep;
         }() + "</Result>"),
         R::tooDeep, true, Text()},
    };
    for (const TestCase& c : cases) {
        SCOPED_TRACE(c.name);
        TableHandler handler(term::OperationTable, term::HeaderTable);
        ASSERT_EQ(handler.created, S_OK);
        term::TestParameters parameters{};
        HRESULT result = handler.Parse(kTest, &parameters, c.response);
        EXPECT_EQ(SUCCEEDED(result), c.failure == kRead) << std::hex << result;
        EXPECT_EQ(handler.readFailure, c.failure);
        EXPECT_EQ(parameters.Result == nullptr, c.resultNull);
        EXPECT_EQ(ToText(parameters.Result), c.result);
    }
}

TEST(ResponseReader, HeaderAfterBodyFails)
{
    std::string response =
        "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body><T><Result>a</Result>"
        "</T></soap:Body><soap:Header/></soap:Envelope>";
    TableHandler handler(term::OperationTable, term::HeaderTable);
    term::TestParameters parameters{};
    EXPECT_EQ(handler.Parse(kTest, &parameters, response), E_FAIL);
    EXPECT_EQ(handler.readFailure, R::unexpectedElement);
    EXPECT_EQ(parameters.Result, nullptr) << "released after the failure";
}

// Text handed over in pieces of every size, as a reader may split it, is
// read whole: a gathered string, gathered markup, a number, an enumeration,
// base64 and a value with a bad tail (refused whole, not read in part).
TEST(ResponseReader, ValueArrivingInOneBytePiecesIsWhole)
{
    for (std::size_t size = 1; size <= 12; ++size) {
        SCOPED_TRACE(size);
        {
            TableHandler handler(term::OperationTable, term::HeaderTable, nullptr, size);
            term::TestParameters parameters{};
            ASSERT_EQ(handler.Parse(kTest, &parameters, Envelope("<m:R><Result>abc&amp;def</Result></m:R>"), 1),
                      S_OK);
            EXPECT_EQ(ToText(parameters.Result), Text(OLESTR("abc&def")));
            ASSERT_EQ(handler.Parse(kTest, &parameters, Envelope("<m:R><Result>a<b>long text</b>c</Result></m:R>")),
                      S_OK);
            EXPECT_EQ(ToText(parameters.Result), Text(OLESTR("a<b>long text</b>c")));
        }
        {
            TableHandler handler(ts::OperationTable, ts::HeaderTable, nullptr, size);
            ts::ScalarsParameters parameters{};
            ASSERT_EQ(handler.Parse(ts::kScalars, &parameters,
                                    Envelope("<m:R><total> 1234567 </total><return>-5</return></m:R>")),
                      S_OK);
            EXPECT_EQ(parameters.total, 1234567);
            EXPECT_EQ(handler.Parse(ts::kScalars, &parameters,
                                    Envelope("<m:R><total>1234567x</total><return>-5</return></m:R>")),
                      E_FAIL);
            EXPECT_EQ(handler.readFailure, R::badValue);
        }
        {
            TableHandler handler(ts::OperationTable, ts::HeaderTable, nullptr, size);
            ts::CatalogParameters parameters{};
            ASSERT_EQ(handler.Parse(ts::kCatalog, &parameters,
                                    Envelope("<m:C><shades><s>Blue</s><s>Red</s></shades>"
                                             "<picture>QUJDREVGR0hJ</picture><Az>1</Az><BY>2</BY></m:C>")),
                      S_OK);
            EXPECT_EQ(parameters.shades[0], ts::Blue);
            ASSERT_EQ(parameters.picture.size, 9);
            EXPECT_EQ(std::string(reinterpret_cast<char*>(parameters.picture.data), 9), "ABCDEFGHI");
        }
    }
}

TEST(ResponseReader, UnknownHeadersAndMustUnderstand)
{
    struct Case {
        const char* attribute;
        R failure;
    };
    const Case cases[] = {
        {"", kRead},
        {" soap:mustUnderstand=\"0\"", kRead},
        {" soap:mustUnderstand=\"false\"", kRead},
        {" soap:mustUnderstand=\"1\"", R::mustUnderstand},
        {" soap:mustUnderstand=\"true\"", R::mustUnderstand},
        {" soap:mustUnderstand=\"yes\"", R::mustUnderstand},
        {" mustUnderstand=\"1\"", kRead},  // not in the envelope namespace
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.attribute);
        // Two unknown headers with children: the skipper starts afresh for each.
        std::string header = std::string("<h:A xmlns:h=\"urn:h\"") + c.attribute +
                             "><h:x><h:y/></h:x></h:A><h:B xmlns:h=\"urn:h\"><h:z>1</h:z></h:B>";
        TableHandler handler(term::OperationTable, term::HeaderTable);
        term::TestParameters parameters{};
        HRESULT result = handler.Parse(kTest, &parameters, Envelope("<m:R><Result>ok</Result></m:R>", header));
        EXPECT_EQ(SUCCEEDED(result), c.failure == kRead) << std::hex << result;
        EXPECT_EQ(handler.readFailure, c.failure);
        if (c.failure == kRead) {
            EXPECT_EQ(ToText(parameters.Result), Text(OLESTR("ok")));
        }
    }
}

// Scalars: total (int), Result (string), tiny (byte); the rpc/encoded reader.
TEST(ResponseReader, SimpleValues)
{
    struct Case {
        const char* total;
        R failure;
        std::int32_t expected;
    };
    const Case cases[] = {
        {"<total> 42 </total>", kRead, 42},
        {"<total>   </total>", kRead, 0},
        {"<total/>", R::emptyValue, 0},
        {"<total>4<b/>2</total>", R::unexpectedElement, 0},
        {"<total>forty</total>", R::badValue, 0},
        {"<total xsi:nil=\"true\"/>", R::nilNotAllowed, 0},  // not Nillable
        {"", R::missingElement, 0},                              // required
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.total);
        TableHandler handler(ts::OperationTable, ts::HeaderTable);
        ts::ScalarsParameters parameters{};
        // tiny is the ReturnValue: read by the name it is written as.
        HRESULT result = handler.Parse(ts::kScalars, &parameters,
                                       Envelope(std::string("<m:ScalarsResponse>") + c.total +
                                                "<return>-5</return><Result>r</Result></m:ScalarsResponse>"));
        EXPECT_EQ(SUCCEEDED(result), c.failure == kRead) << std::hex << result;
        EXPECT_EQ(handler.readFailure, c.failure);
        if (c.failure == kRead) {
            EXPECT_EQ(parameters.total, c.expected);
            EXPECT_EQ(parameters.tiny, -5);
            EXPECT_EQ(ToText(parameters.Result), Text(OLESTR("r")));
        } else {
            EXPECT_EQ(parameters.Result, nullptr);
        }
    }
}

// The ReturnValue member is written as "return", so that is the only name it
// is read by; its table name is an unknown member.
TEST(ResponseReader, ReturnValueReadByItsWrittenName)
{
    TableHandler handler(ts::OperationTable, ts::HeaderTable);
    ts::ScalarsParameters parameters{};
    EXPECT_EQ(handler.Parse(ts::kScalars, &parameters, Envelope("<m:R><total>1</total><tiny>-5</tiny></m:R>")),
              E_FAIL);
    EXPECT_EQ(handler.readFailure, R::unexpectedElement);
    ASSERT_EQ(handler.Parse(ts::kScalars, &parameters, Envelope("<m:R><total>1</total><return>-5</return></m:R>")),
              S_OK);
    EXPECT_EQ(parameters.tiny, -5);
}

TEST(ResponseReader, StructuresAndEnumerations)
{
    const std::string point = "<outPoint><x>1</x><y>-2</y><label>here</label></outPoint>";
    const std::string shape = "<outShape><origin><x>3</x><y>4</y></origin><color>Blue</color></outShape>";
    struct Case {
        const char* name;
        std::string members;
        R failure;
    };
    const Case cases[] = {
        {"all", point + shape + "<mode>Green</mode>", kRead},
        {"nil shape, no mode", point + "<outShape xsi:nil=\"1\"/>", kRead},
        {"unknown enumeration text", point + "<mode>Purple</mode>", R::badValue},
        {"empty enumeration", point + "<mode/>", R::emptyValue},
        {"structure field missing", "<outPoint><x>1</x></outPoint>", R::missingElement},
        {"field twice", "<outPoint><x>1</x><x>1</x><y>2</y></outPoint>", R::duplicateElement},
        {"nil point not allowed", "<outPoint xsi:nil=\"true\"/>", R::nilNotAllowed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TableHandler handler(ts::OperationTable, ts::HeaderTable);
        ts::StructuresParameters parameters{};
        HRESULT result = handler.Parse(ts::kStructures, &parameters, Envelope("<m:S>" + c.members + "</m:S>"));
        EXPECT_EQ(SUCCEEDED(result), c.failure == kRead) << std::hex << result;
        EXPECT_EQ(handler.readFailure, c.failure);
        if (result == S_OK && std::string(c.name) == "all") {
            EXPECT_EQ(parameters.outPoint.x, 1);
            EXPECT_EQ(parameters.outPoint.y, -2);
            EXPECT_EQ(ToText(parameters.outPoint.label), Text(OLESTR("here")));
            EXPECT_EQ(parameters.outShape.origin.x, 3);
            EXPECT_EQ(parameters.outShape.origin.y, 4);
            EXPECT_EQ(parameters.outShape.color, ts::Blue);
            EXPECT_EQ(parameters.mode, ts::Green);
        }
        if (FAILED(result)) {
            EXPECT_EQ(parameters.outPoint.label, nullptr) << "released";
        }
    }
}

TEST(ResponseReader, PadAndChainedOut)
{
    {
        TableHandler handler(ts::OperationTable, ts::HeaderTable);
        ts::PadEchoParameters parameters{};
        // In the PAD style the Body's child is itself the parameter.
        ASSERT_EQ(handler.Parse(ts::kPadEcho, &parameters, Envelope("<Result>echo</Result>")), S_OK);
        EXPECT_EQ(ToText(parameters.Result), Text(OLESTR("echo")));
    }
    {
        TableHandler handler(ts::OperationTable, ts::HeaderTable);
        ts::ChainedParameters parameters{};
        ASSERT_EQ(handler.Parse(ts::kChained, &parameters, Envelope("<x>7</x><y>8</y><label>l</label>")), S_OK);
        EXPECT_EQ(parameters.result.x, 7);
        EXPECT_EQ(parameters.result.y, 8);
        EXPECT_EQ(ToText(parameters.result.label), Text(OLESTR("l")));
    }
}

// The out member of ChainedLate follows the in member: the structure is read
// into the out member itself, not over the in member at the record's start.
TEST(ResponseReader, ChainedOutMemberThatIsNotFirst)
{
    TableHandler handler(ts::OperationTable, ts::HeaderTable);
    ts::ChainedLateParameters parameters{};
    ASSERT_EQ(handler.Parse(ts::kChainedLate, &parameters,
                            Envelope("<label>l</label><points><p><x>1</x><y>2</y></p><p><x>3</x><y>4</y></p>"
                                     "</points><thumbnail>ff00</thumbnail>")),
              S_OK);
    EXPECT_EQ(parameters.query, nullptr) << "nothing read into the in member";
    EXPECT_EQ(ToText(parameters.result.label), Text(OLESTR("l")));
    ASSERT_EQ(parameters.result.pointCount, 2);
    EXPECT_EQ(parameters.result.points[1].y, 4);
    ASSERT_EQ(parameters.result.thumbnail.size, 2);
    EXPECT_EQ(parameters.result.thumbnail.data[0], 0xff);
    EXPECT_EQ(handler.ReleaseParameters(), S_OK);
    EXPECT_EQ(parameters.result.points, nullptr);
    EXPECT_EQ(parameters.result.label, nullptr);
}

// Once the Body has ended nothing more is read into the record: a namespace-
// qualified element there is skipped whole, anything else fails the parse.
TEST(ResponseReader, ElementsAfterTheBody)
{
    const std::string open =
        "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>";
    const std::string close = "</soap:Envelope>";
    struct Case {
        const char* name;
        bool chained;  // ts::kChained, else the terminal service's Test
        std::string body;
        std::string after;
        R failure;
    };
    const std::string point = "<x>7</x><y>8</y><label>first</label>";
    const Case cases[] = {
        {"Result after the Body", false, "<m:R xmlns:m=\"urn:m\"/>", "<Result>late</Result>", R::unexpectedElement},
        {"qualified trailer skipped", false, "<m:R xmlns:m=\"urn:m\"><Result>a</Result></m:R>",
         "<t:Trailer xmlns:t=\"urn:t\"><Result>b</Result></t:Trailer>", kRead},
        {"second Body", false, "<m:R xmlns:m=\"urn:m\"><Result>a</Result></m:R>",
         "<soap:Body><m:R xmlns:m=\"urn:m\"/></soap:Body>", R::unexpectedElement},
        {"chained structure a second time", true, point, "<label>again</label>", R::unexpectedElement},
        {"chained structure, trailer", true, point, "<t:T xmlns:t=\"urn:t\"><x>1</x></t:T>", kRead},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string response = open + c.body + "</soap:Body>" + c.after + close;
        bool succeeds = c.failure == kRead;
        if (!c.chained) {
            TableHandler handler(term::OperationTable, term::HeaderTable);
            term::TestParameters parameters{};
            HRESULT result = handler.Parse(kTest, &parameters, response);
            EXPECT_EQ(SUCCEEDED(result), succeeds) << std::hex << result;
            EXPECT_EQ(handler.readFailure, c.failure);
            EXPECT_EQ(ToText(parameters.Result), Text(succeeds ? OLESTR("a") : OLESTR("")));
        } else {
            TableHandler handler(ts::OperationTable, ts::HeaderTable);
            ts::ChainedParameters parameters{};
            HRESULT result = handler.Parse(ts::kChained, &parameters, response);
            EXPECT_EQ(SUCCEEDED(result), succeeds) << std::hex << result;
            EXPECT_EQ(handler.readFailure, c.failure);
            EXPECT_EQ(ToText(parameters.result.label), Text(succeeds ? OLESTR("first") : OLESTR("")));
        }
    }
}

// Catalog: binary results, an ignored text, inline arrays of structures and
// of enumerations, and two members whose names share a NameHash.
TEST(ResponseReader, CatalogValues)
{
    struct Case {
        const char* name;
        std::string members;
        R failure;
    };
    const std::string corners =
        "<corners><c><x>1</x><y>2</y><label>c1</label></c><c><x>3</x><y>4</y></c></corners>";
    const std::string all = corners +
                            "<shades><s>Blue</s><s>Red</s></shades><picture>QUJD</picture><digest>4a4B</digest>"
                            "<remark>not <b>kept</b></remark><BY>2</BY><Az>1</Az>";
    const Case cases[] = {
        {"all", all, kRead},
        {"only the two required", "<Az>1</Az><BY>2</BY>", kRead},
        {"BY missing", "<Az>1</Az>", R::missingElement},
        {"Az twice", "<Az>1</Az><Az>1</Az><BY>2</BY>", R::duplicateElement},
        {"one corner", "<corners><c><x>1</x><y>2</y></c></corners><Az>1</Az><BY>2</BY>", R::arraySizeMismatch},
        {"unknown shade", "<shades><s>Blue</s><s>Pink</s></shades><Az>1</Az><BY>2</BY>", R::badValue},
        {"binary twice", "<picture>QUJD</picture><picture>QUJD</picture><Az>1</Az><BY>2</BY>", R::duplicateElement},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TableHandler handler(ts::OperationTable, ts::HeaderTable);
        ts::CatalogParameters parameters{};
        HRESULT result = handler.Parse(ts::kCatalog, &parameters, Envelope("<m:C>" + c.members + "</m:C>"));
        EXPECT_EQ(SUCCEEDED(result), c.failure == kRead) << std::hex << result;
        EXPECT_EQ(handler.readFailure, c.failure);
        if (FAILED(result)) {
            EXPECT_EQ(parameters.corners[0].label, nullptr) << "released";
            EXPECT_EQ(parameters.picture.data, nullptr) << "released";
            continue;
        }
        EXPECT_EQ(parameters.Az, 1);
        EXPECT_EQ(parameters.BY, 2);
        if (std::string(c.name) == "all") {
            EXPECT_EQ(ToText(parameters.corners[0].label), Text(OLESTR("c1")));
            EXPECT_EQ(parameters.corners[1].y, 4);
            EXPECT_EQ(parameters.shades[0], ts::Blue);
            EXPECT_EQ(parameters.shades[1], ts::Red);
            ASSERT_EQ(parameters.picture.size, 3);
            EXPECT_EQ(std::string(reinterpret_cast<char*>(parameters.picture.data), 3), "ABC");
            ASSERT_EQ(parameters.digest.size, 2);
            EXPECT_EQ(parameters.digest.data[1], 0x4B);
            EXPECT_EQ(parameters.remark, nullptr) << "IgnoreText";
        }
        EXPECT_EQ(handler.ReleaseParameters(), S_OK);
        EXPECT_EQ(parameters.corners[0].label, nullptr);
        EXPECT_EQ(parameters.picture.data, nullptr);
    }
}

TEST(ResponseReader, KnownHeadersAndRequiredOnes)
{
    struct Case {
        const char* name;
        std::string header;
        R failure;
    };
    const Case cases[] = {
        {"both", "<ServerNote>n</ServerNote><Sequence>9</Sequence>", kRead},
        {"required Sequence missing", "<ServerNote>n</ServerNote>", R::missingElement},
        {"no header at all", "", R::missingElement},
        {"unknown one skipped", "<Other><x/></Other><Sequence>9</Sequence>", kRead},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ts::TestHeaderRecord headers{};
        TableHandler handler(ts::OperationTable, ts::HeaderTable, &headers);
        ts::OutHeadedParameters parameters{};
        HRESULT result = handler.Parse(ts::kOutHeaded, &parameters,
                                       Envelope("<m:R><Result>r</Result></m:R>", c.header));
        EXPECT_EQ(SUCCEEDED(result), c.failure == kRead) << std::hex << result;
        EXPECT_EQ(handler.readFailure, c.failure);
        if (result == S_OK) {
            EXPECT_EQ(headers.Sequence, 9);
            EXPECT_EQ(ToText(parameters.Result), Text(OLESTR("r")));
        } else {
            EXPECT_EQ(headers.ServerNote, nullptr) << "released";
        }
    }
}

// The server's side: the request's wrapper chooses the operation, the headers
// that arrived are checked against it, and a header that must be understood
// but is not known refuses the request.
TEST(ResponseReader, ServerRoleFindsTheOperationByItsWrapper)
{
    const std::string message = " xmlns:t=\"http://test.corvel.example/message/\"";
    struct Case {
        const char* name;
        std::string header;
        std::string body;
        R failure;
    };
    const Case cases[] = {
        {"in member read", "", "<t:Catalog" + message + "><filter>hello</filter></t:Catalog>", kRead},
        {"operation in another namespace", "", "<t:Catalog xmlns:t=\"urn:other\"><filter>x</filter></t:Catalog>",
         R::unknownOperation},
        {"no such operation", "", "<t:Nothing" + message + "/>", R::unknownOperation},
        {"out member in a request", "", "<t:Catalog" + message + "><Az>1</Az></t:Catalog>", R::unexpectedElement},
        {"required in headers absent", "", "<t:Headed" + message + "><text>x</text></t:Headed>",
         R::missingElement},
        {"unknown header that must be understood", "<h:X xmlns:h=\"urn:h\" soap:mustUnderstand=\"1\"/>",
         "<t:Catalog" + message + "/>", R::mustUnderstand},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ServerHandler server;
        HRESULT result = server.Read(Envelope(c.body, c.header));
        EXPECT_EQ(SUCCEEDED(result), c.failure == kRead) << std::hex << result;
        EXPECT_EQ(server.handler.readFailure, c.failure);
        if (c.failure == kRead) {
            EXPECT_EQ(server.handler.operationIndex, ts::kCatalog);
            EXPECT_EQ(ToText(server.Parameters<ts::CatalogParameters>().filter), Text(OLESTR("hello")));
        }
    }
}

TEST(ResponseReader, ReleaseParametersLeavesNullAndWriteRequestNeedsALevel)
{
    TableHandler handler(term::OperationTable, term::HeaderTable);
    term::TestParameters parameters{};
    ASSERT_EQ(handler.Parse(kTest, &parameters, Envelope("<m:R><Result>abc</Result></m:R>")), S_OK);
    ASSERT_NE(parameters.Result, nullptr);
    EXPECT_EQ(handler.ReleaseParameters(), S_OK);
    EXPECT_EQ(parameters.Result, nullptr);

    handler.ResetParseState();
    EXPECT_THROW(handler.WriteRequest(nullptr), SoapException);
}

TEST(ResponseReader, ReaderIsReusableAfterAFailureInsideGatheredText)
{
    TableHandler handler(term::OperationTable, term::HeaderTable);
    term::TestParameters parameters{};
    // Ends inside the gathered Result: the gatherer still holds the reader.
    EXPECT_FALSE(SUCCEEDED(handler.Parse(kTest, &parameters, Envelope("<m:R><Result>abc"))));
    EXPECT_EQ(handler.readFailure, R::notWellFormed);
    ASSERT_EQ(handler.Parse(kTest, &parameters, Envelope("<m:R><Result>next</Result></m:R>")), S_OK);
    EXPECT_EQ(ToText(parameters.Result), Text(OLESTR("next")));
}

}  // namespace
}  // namespace corvel::soap
