// Arrays and multi-reference values of the response reader: announced,
// unannounced (growing), inline and empty arrays, too many items, references
// forward and after the wrapper, missing and duplicate ids, a count element
// that would overrun the item block, references to array items and to arrays
// inside structures that are array items, and announcements that cost nothing
// before their items arrive.
#include <gtest/gtest.h>

#include <string>

#include "soap_reader_fixture.h"

namespace corvel::soap {
namespace {

using testing::Envelope;
using testing::TableHandler;
using testing::Text;
using testing::ToText;
namespace ts = test_service;

// Counts the allocator's growth so that the slot sequence can be checked.
class CountingMemory final : public IMemoryManager {
public:
    void* Allocate(std::size_t byteCount) override
    {
        sizes.push_back(byteCount);
        return DefaultMemoryManager()->Allocate(byteCount);
    }
    void* Reallocate(void* block, std::size_t byteCount) override
    {
        sizes.push_back(byteCount);
        return DefaultMemoryManager()->Reallocate(block, byteCount);
    }
    void Free(void* block) override { DefaultMemoryManager()->Free(block); }

    std::vector<std::size_t> sizes;
};

const std::string kGrid = "<outGrid><i>1</i><i>2</i><i>3</i><i>4</i><i>5</i><i>6</i></outGrid>";

std::string Items(int count)
{
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += "<item>" + std::to_string(i + 1) + "</item>";
    }
    return text;
}

TEST(ResponseArrays, GrowingArrayTakes10Then20Then40Slots)
{
    CountingMemory counting;
    TableHandler handler(ts::OperationTable, ts::HeaderTable);
    handler.memory = &counting;
    ts::GrowListParameters parameters{};
    ASSERT_EQ(handler.Parse(ts::kGrowList, &parameters, Envelope("<m:G><values>" + Items(25) + "</values></m:G>")),
              S_OK);
    ASSERT_EQ(parameters.valueCount, 25);
    for (int i = 0; i < 25; ++i) {
        EXPECT_EQ(parameters.values[i], i + 1);
    }
    std::vector<std::size_t> expected = {10 * sizeof(std::int32_t), 20 * sizeof(std::int32_t),
                                         40 * sizeof(std::int32_t)};
    EXPECT_EQ(counting.sizes, expected);
}

TEST(ResponseArrays, GrowingArrayOfStructures)
{
    TableHandler handler(ts::OperationTable, ts::HeaderTable);
    ts::GrowListParameters parameters{};
    std::string entries;
    for (int i = 0; i < 12; ++i) {
        entries += "<e><name>n" + std::to_string(i) + "</name><price>" + std::to_string(i) + ".5</price></e>";
    }
    ASSERT_EQ(handler.Parse(ts::kGrowList, &parameters, Envelope("<m:G><entries>" + entries + "</entries></m:G>")),
              S_OK);
    ASSERT_EQ(parameters.entryCount, 12);
    EXPECT_EQ(ToText(parameters.entries[11].name), Text(OLESTR("n11")));
    EXPECT_EQ(parameters.entries[11].price, 11.5);
    EXPECT_EQ(parameters.values, nullptr);
}

using R = SoapReadFailure;
constexpr R kRead = R::none;

struct ArrayCase {
    const char* name;
    std::string members;
    R failure;
    std::int32_t numberCount;
};

TEST(ResponseArrays, EncodedArrays)
{
    const std::string three = "<outNumbers soapenc:arrayType=\"xsd:int[3]\"><a>7</a><b>8</b><c>9</c></outNumbers>";
    const ArrayCase cases[] = {
        {"announced 3, item names free", three + kGrid, kRead, 3},
        {"four items for 3", "<outNumbers soapenc:arrayType=\"xsd:int[3]\">" + Items(4) + "</outNumbers>" + kGrid,
         R::arraySizeMismatch, 0},
        {"announced 0", "<outNumbers soapenc:arrayType=\"xsd:int[0]\"/>" + kGrid, kRead, 0},
        {"without arrayType", "<outNumbers>" + Items(1) + "</outNumbers>" + kGrid, R::badArrayType, 0},
        {"[] is not announced", "<outNumbers soapenc:arrayType=\"xsd:int[]\">" + Items(1) + "</outNumbers>" + kGrid,
         R::badArrayType, 0},
        {"arrayType without [", "<outNumbers soapenc:arrayType=\"xsd:int\">" + Items(1) + "</outNumbers>" + kGrid,
         R::badArrayType, 0},
        {"inline [2,3]", three + "<outGrid soapenc:arrayType=\"xsd:int[2,3]\">" + Items(6) + "</outGrid>", kRead, 3},
        {"inline size differs", three + "<outGrid soapenc:arrayType=\"xsd:int[5]\">" + Items(5) + "</outGrid>",
         R::arraySizeMismatch, 0},
        {"inline short", three + "<outGrid>" + Items(5) + "</outGrid>", R::arraySizeMismatch, 0},
        {"inline long", three + "<outGrid>" + Items(7) + "</outGrid>", R::arraySizeMismatch, 0},
        {"huge announcement refused", "<outNumbers soapenc:arrayType=\"xsd:int[99999999]\"/>" + kGrid, R::arraySizeMismatch, 0},
        {"count element refused", three + kGrid + "<outNumberCount>1000</outNumberCount>", R::unexpectedElement, 0},
        {"string items", three + kGrid + "<outNames soapenc:arrayType=\"xsd:string[2]\"><s>a</s><s/></outNames>",
         kRead, 3},
        {"nil item", three + kGrid + "<outNames soapenc:arrayType=\"xsd:string[2]\"><s xsi:nil=\"1\"/><s>b</s></outNames>",
         kRead, 3},
    };
    for (const ArrayCase& c : cases) {
        SCOPED_TRACE(c.name);
        TableHandler handler(ts::OperationTable, ts::HeaderTable);
        ts::ArraysParameters parameters{};
        HRESULT result = handler.Parse(ts::kArrays, &parameters, Envelope("<m:A>" + c.members + "</m:A>"));
        EXPECT_EQ(SUCCEEDED(result), c.failure == kRead) << std::hex << result;
        EXPECT_EQ(handler.readFailure, c.failure);
        if (FAILED(result)) {
            EXPECT_EQ(parameters.outNumbers, nullptr) << "released";
            continue;
        }
        EXPECT_EQ(parameters.outNumberCount, c.numberCount);
        if (c.numberCount == 3) {
            EXPECT_EQ(parameters.outNumbers[0], 7);
            EXPECT_EQ(parameters.outNumbers[2], 9);
        } else {
            EXPECT_EQ(parameters.outNumbers, nullptr);
        }
        EXPECT_EQ(parameters.outGrid[5], 6);
        if (parameters.outNames != nullptr) {
            ASSERT_EQ(parameters.outNameCount, 2);
            EXPECT_EQ(ToText(parameters.outNames[1]), Text(parameters.outNames[0] == nullptr ? OLESTR("b") : OLESTR("")));
        }
    }
}

TEST(ResponseArrays, References)
{
    const std::string numbers = "<outNumbers soapenc:arrayType=\"xsd:int[1]\"><i>1</i></outNumbers>" + kGrid;
    const std::string pointsTarget =
        "<p id=\"pts\" soapenc:arrayType=\"m:Point[2]\"><q href=\"#p1\"/><q><x>3</x><y>4</y></q></p>"
        "<r id=\"p1\"><x>1</x><y>2</y><label>first</label></r>";
    struct Case {
        const char* name;
        std::string inWrapper;
        std::string afterWrapper;
        R failure;
    };
    const Case cases[] = {
        {"forward inside the wrapper", numbers + "<outPoints href=\"#pts\"/>" + pointsTarget, "", kRead},
        {"targets after the wrapper", numbers + "<outPoints href=\"#pts\"/>", pointsTarget, kRead},
        {"missing target", numbers + "<outPoints href=\"#pts\"/>", "", R::unresolvedReference},
        {"duplicate pending id",
         numbers + "<outPoints soapenc:arrayType=\"m:Point[2]\"><q href=\"#p1\"/><q href=\"#p1\"/></outPoints>",
         "<r id=\"p1\"><x>1</x><y>2</y></r>", R::badReference},
        {"target that is a reference", numbers + "<outPoints href=\"#pts\"/>", "<p id=\"pts\" href=\"#x\"/>",
         R::badReference},
        {"href on a simple item",
         "<outNumbers soapenc:arrayType=\"xsd:int[1]\"><i href=\"#n\"/></outNumbers>" + kGrid, "<n id=\"n\">1</n>",
         R::badReference},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TableHandler handler(ts::OperationTable, ts::HeaderTable);
        ts::ArraysParameters parameters{};
        HRESULT result =
            handler.Parse(ts::kArrays, &parameters, Envelope("<m:A>" + c.inWrapper + "</m:A>" + c.afterWrapper));
        EXPECT_EQ(SUCCEEDED(result), c.failure == kRead) << std::hex << result;
        EXPECT_EQ(handler.readFailure, c.failure);
        EXPECT_TRUE(handler.references.empty());
        if (result == S_OK) {
            ASSERT_EQ(parameters.outPointCount, 2);
            EXPECT_EQ(parameters.outPoints[0].x, 1);
            EXPECT_EQ(ToText(parameters.outPoints[0].label), Text(OLESTR("first")));
            EXPECT_EQ(parameters.outPoints[1].y, 4);
        } else {
            EXPECT_EQ(parameters.outPoints, nullptr) << "released";
        }
    }
}

// An array of structures that hold arrays: references forward to an item and
// to an array member of a structure that is itself an item.
TEST(ResponseArrays, ReferencesIntoArrayItems)
{
    const std::string response = Envelope(
        "<m:CatalogResponse>"
        "<entries soapenc:arrayType=\"m:Entry[2]\"><e href=\"#e1\"/>"
        "<e><label>second</label><points href=\"#p2\"/></e></entries>"
        "<Az>1</Az><BY>2</BY></m:CatalogResponse>"
        "<x id=\"e1\"><label>first</label><points soapenc:arrayType=\"m:Point[1]\">"
        "<p><x>1</x><y>2</y><label>a</label></p></points><thumbnail>4142</thumbnail></x>"
        "<y id=\"p2\" soapenc:arrayType=\"m:Point[2]\"><p><x>3</x><y>4</y></p>"
        "<p><x>5</x><y>6</y><label>AAAAAAAA</label></p></y>");
    TableHandler handler(ts::OperationTable, ts::HeaderTable);
    ts::CatalogParameters parameters{};
    ASSERT_EQ(handler.Parse(ts::kCatalog, &parameters, response), S_OK);
    ASSERT_EQ(parameters.entryCount, 2);
    const ts::Entry& first = parameters.entries[0];
    EXPECT_EQ(ToText(first.label), Text(OLESTR("first")));
    ASSERT_EQ(first.pointCount, 1);
    EXPECT_EQ(ToText(first.points[0].label), Text(OLESTR("a")));
    ASSERT_EQ(first.thumbnail.size, 2);
    EXPECT_EQ(first.thumbnail.data[1], 'B');
    const ts::Entry& second = parameters.entries[1];
    EXPECT_EQ(ToText(second.label), Text(OLESTR("second"))) << "the referenced array is not written over it";
    ASSERT_EQ(second.pointCount, 2);
    EXPECT_EQ(second.points[0].x, 3);
    EXPECT_EQ(second.points[1].y, 6);
    EXPECT_EQ(ToText(second.points[1].label), Text(OLESTR("AAAAAAAA")));
    EXPECT_EQ(handler.ReleaseParameters(), S_OK);
    EXPECT_EQ(parameters.entries, nullptr);
}

// An announcement alone allocates nothing beyond a first few slots: what an
// array costs follows the items that arrive. The count member always counts
// what the block holds, so a failed parse releases exactly those items.
TEST(ResponseArrays, AnnouncedSizeCostsNothingBeforeItsItems)
{
    struct Case {
        const char* name;
        std::string members;
        HRESULT expected;
        R failure;
    };
    const std::string points = "<q><x>1</x><y>2</y><label>l</label></q>";
    const Case cases[] = {
        {"4194304 small structures, one item", "<outPoints soapenc:arrayType=\"m:Point[4194304]\">" + points +
                                                   "</outPoints>",
         E_FAIL, R::arraySizeMismatch},
        {"2147483647 structures", "<outPoints soapenc:arrayType=\"m:Point[2147483647]\">" + points + "</outPoints>",
         E_INVALIDARG, R::arrayTooLarge},
        {"beyond any count member", "<outPoints soapenc:arrayType=\"m:Point[2147483648]\"/>", E_FAIL,
         R::arrayTooLarge},
        {"[65536,65536]", "<outPoints soapenc:arrayType=\"m:Point[65536,65536]\"/>", E_FAIL, R::arrayTooLarge},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CountingMemory counting;
        TableHandler handler(ts::OperationTable, ts::HeaderTable);
        handler.memory = &counting;
        ts::ArraysParameters parameters{};
        std::string response =
            Envelope("<m:A><outNumbers soapenc:arrayType=\"xsd:int[1]\"><i>1</i></outNumbers>" + kGrid + c.members +
                     "</m:A>");
        EXPECT_EQ(handler.Parse(ts::kArrays, &parameters, response), c.expected);
        EXPECT_EQ(handler.readFailure, c.failure);
        for (std::size_t size : counting.sizes) {
            EXPECT_LE(size, 16 * response.size()) << "an allocation far beyond the response's size";
        }
        EXPECT_EQ(parameters.outPoints, nullptr) << "released";
        EXPECT_EQ(parameters.outPointCount, 0);
    }
    // An array announced and delivered whole still reads every item.
    TableHandler handler(ts::OperationTable, ts::HeaderTable);
    ts::ArraysParameters parameters{};
    std::string many;
    for (int i = 0; i < 37; ++i) {
        many += "<q><x>" + std::to_string(i) + "</x><y>0</y></q>";
    }
    ASSERT_EQ(handler.Parse(ts::kArrays, &parameters,
                            Envelope("<m:A><outNumbers soapenc:arrayType=\"xsd:int[1]\"><i>1</i></outNumbers>" +
                                     kGrid + "<outPoints soapenc:arrayType=\"m:Point[37]\">" + many +
                                     "</outPoints></m:A>")),
              S_OK);
    ASSERT_EQ(parameters.outPointCount, 37);
    EXPECT_EQ(parameters.outPoints[36].x, 36);
}

// A count member holds what its type can: Catalog counts its entries in an
// unsignedByte, so 255 entries read (and are all released again) and 256 are
// refused rather than counted as 0.
TEST(ResponseArrays, CountMemberOfANarrowType)
{
    for (int count : {200, 255, 256}) {
        SCOPED_TRACE(count);
        std::string entries;
        for (int i = 0; i < count; ++i) {
            entries += "<e><label>entry</label></e>";
        }
        TableHandler handler(ts::OperationTable, ts::HeaderTable);
        ts::CatalogParameters parameters{};
        HRESULT result = handler.Parse(
            ts::kCatalog, &parameters,
            Envelope("<m:C><entries soapenc:arrayType=\"m:Entry[" + std::to_string(count) + "]\">" + entries +
                     "</entries><Az>1</Az><BY>2</BY></m:C>"));
        if (count > 255) {
            EXPECT_EQ(result, E_FAIL);
            EXPECT_EQ(handler.readFailure, SoapReadFailure::arrayTooLarge);
            EXPECT_EQ(parameters.entries, nullptr);
            continue;
        }
        ASSERT_EQ(result, S_OK);
        ASSERT_EQ(parameters.entryCount, count);
        EXPECT_EQ(ToText(parameters.entries[count - 1].label), Text(OLESTR("entry")));
    }
}

// Document-style arrays of structures that grow, each holding a growing array.
TEST(ResponseArrays, GrowingArraysInsideGrowingArrayItems)
{
    TableHandler handler(ts::OperationTable, ts::HeaderTable);
    ts::GrowListParameters parameters{};
    std::string groups;
    for (int g = 0; g < 13; ++g) {
        groups += "<g><label>g" + std::to_string(g) + "</label><points>";
        for (int p = 0; p <= g; ++p) {
            groups += "<p><x>" + std::to_string(p) + "</x><y>" + std::to_string(g) + "</y></p>";
        }
        groups += "</points><thumbnail>0a0b</thumbnail></g>";
    }
    ASSERT_EQ(handler.Parse(ts::kGrowList, &parameters, Envelope("<m:G><groups>" + groups + "</groups></m:G>")),
              S_OK);
    ASSERT_EQ(parameters.groupCount, 13);
    EXPECT_EQ(ToText(parameters.groups[12].label), Text(OLESTR("g12")));
    ASSERT_EQ(parameters.groups[12].pointCount, 13);
    EXPECT_EQ(parameters.groups[12].points[12].x, 12);
    EXPECT_EQ(parameters.groups[3].thumbnail.size, 2);
}

}  // namespace
}  // namespace corvel::soap
