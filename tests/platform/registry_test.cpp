// The registry: values round-trip, absent keys and values are reported as
// "not found", and on Linux the tree's files read as documented.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/registry.h"
#include "support/state_root.h"

namespace {

using namespace corvel::platform;

constexpr char kTestKey[] = "SOFTWARE\\Corvel Tests\\Registry";

class Registry : public ::testing::Test {
protected:
    void SetUp() override
    {
#if !defined(_WIN32)
        stateRoot.emplace("corvel-registry");
        root = stateRoot->path();
#endif
    }
    void TearDown() override
    {
        stateRoot.reset();
    }
    std::optional<corvel::testing::TemporaryStateRoot> stateRoot;
    std::filesystem::path root;
};

TEST_F(Registry, ValuesRoundTripAndAbsenceIsNotFound)
{
    RegistryKey key = nullptr;
    EXPECT_EQ(OpenRegistryKey("SOFTWARE\\Corvel Tests\\Absent", kKeyQueryValue, &key), kErrorFileNotFound);
    ASSERT_EQ(CreateRegistryKey(kTestKey, kKeyWrite | kKeyQueryValue, &key), kErrorSuccess);
    EXPECT_EQ(SetRegistryDword(key, "Current", 0xFFFFFFFEu), kErrorSuccess);
    EXPECT_EQ(FlushRegistryKey(key), kErrorSuccess);
    std::int32_t value = 0;
    EXPECT_EQ(QueryRegistryDword(key, "Current", &value), kErrorSuccess);
    EXPECT_EQ(value, -2);
    value = 7;
    EXPECT_EQ(QueryRegistryDword(key, "Absent", &value), kErrorFileNotFound);
    EXPECT_EQ(value, 7) << "an absent value leaves the target as it was";
    CloseRegistryKey(key);

    ASSERT_EQ(OpenRegistryKey(kTestKey, kKeyQueryValue, &key), kErrorSuccess);
    EXPECT_EQ(QueryRegistryDword(key, "Current", &value), kErrorSuccess);
    EXPECT_EQ(value, -2);
    CloseRegistryKey(key);
}

#if !defined(_WIN32)
TEST_F(Registry, LinuxTreeHoldsDecimalTextAndAcceptsHex)
{
    RegistryKey key = nullptr;
    ASSERT_EQ(CreateRegistryKey(kTestKey, kKeyWrite, &key), kErrorSuccess);
    SetRegistryDword(key, "Start", 10);
    std::filesystem::path directory = root / "registry/HKEY_LOCAL_MACHINE/SOFTWARE/Corvel Tests/Registry";
    std::ifstream written(directory / "Start");
    std::string text((std::istreambuf_iterator<char>(written)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "10\n");

    struct Case {
        const char* content;
        long result;
        std::int32_t value;
    };
    for (Case entry : {Case{"0x1F\n", kErrorSuccess, 31}, Case{"  42", kErrorSuccess, 42},
                       Case{"-5\n", kErrorSuccess, -5}, Case{"4294967295\n", kErrorSuccess, -1},
                       Case{"junk\n", 13, 0}}) {
        std::ofstream(directory / "Inc") << entry.content;
        std::int32_t value = 0;
        EXPECT_EQ(QueryRegistryDword(key, "Inc", &value), entry.result) << entry.content;
        EXPECT_EQ(value, entry.value) << entry.content;
    }
    CloseRegistryKey(key);
}
#endif

}  // namespace
