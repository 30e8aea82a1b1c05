#include <gtest/gtest.h>

#include <array>
#include <limits>

#include "util/ByteCopy.h"
#include "util/Exception.h"
#include "util/KUDynArrays.h"
#include "util/TByteArray.h"

namespace qel::util {
namespace {

constexpr std::size_t kHuge = std::numeric_limits<std::size_t>::max();

struct CheckedCopyCase {
    const char* name;
    std::size_t source_index;
    std::size_t destination_index;
    std::size_t count;
    ByteArray result;  // of a 5-byte zero destination, copying from 01 02 03; empty: refused
};

class CheckedCopy : public ::testing::TestWithParam<CheckedCopyCase> {};

TEST_P(CheckedCopy, CopiesExactlyTheCountOrNothing) {
    const auto& c = GetParam();
    const ByteArray source{1, 2, 3};
    ByteArray destination(5, 0);
    EXPECT_EQ(copy_checked(source, c.source_index, destination, c.destination_index, c.count),
              !c.result.empty());
    EXPECT_EQ(destination, c.result.empty() ? ByteArray(5, 0) : c.result);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CheckedCopy,
    ::testing::Values(CheckedCopyCase{"fills_the_destination_end", 0, 2, 3, {0, 0, 1, 2, 3}},
                      CheckedCopyCase{"zero_count_at_both_ends", 3, 5, 0, {0, 0, 0, 0, 0}},
                      CheckedCopyCase{"one_past_the_destination", 0, 3, 3, {}},
                      CheckedCopyCase{"one_past_the_source", 1, 0, 3, {}},
                      CheckedCopyCase{"zero_count_beyond_the_source", 4, 0, 0, {}},
                      CheckedCopyCase{"count_that_would_wrap", 1, 1, kHuge, {}},
                      CheckedCopyCase{"source_index_that_would_wrap", kHuge, 0, 2, {}},
                      CheckedCopyCase{"destination_index_that_would_wrap", 0, kHuge, 2, {}}),
    [](const auto& info) { return std::string(info.param.name); });

struct SafeCopyCase {
    const char* name;
    std::int32_t source_index;
    std::int32_t destination_index;
    std::int32_t count;
    bool allowed;
    ByteArray result;  // of a 5-byte zero destination, copying from "\x01\x02\x03"
};

class SafeCopyRanges : public ::testing::TestWithParam<SafeCopyCase> {};

TEST_P(SafeCopyRanges, CopiesOnlyWhenTheRangeFitsBothSides) {
    const auto& c = GetParam();
    const ByteString source("\x01\x02\x03", 3);
    for (bool raise : {false, true}) {
        ByteArray destination(5, 0);
        if (c.allowed || !raise) {
            TKUDynArray::SafeCopy(source, c.source_index, destination, c.destination_index, c.count,
                                  raise);
        } else {
            try {
                TKUDynArray::SafeCopy(source, c.source_index, destination, c.destination_index,
                                      c.count, raise);
                FAIL() << c.name << ": no exception";
            } catch (const Exception& e) {
                EXPECT_STREQ(e.what(), "Cannot safecopy array. Bounds error");
            }
        }
        EXPECT_EQ(destination, c.allowed ? c.result : ByteArray(5, 0))
            << c.name << " raise=" << raise;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SafeCopyRanges,
    ::testing::Values(
        SafeCopyCase{"whole source at 2", 0, 2, 3, true, {0, 0, 1, 2, 3}},
        SafeCopyCase{"minus one is the whole source", 0, 0, -1, true, {1, 2, 3, 0, 0}},
        SafeCopyCase{"tail of the source", 1, 0, 2, true, {2, 3, 0, 0, 0}},
        SafeCopyCase{"count zero copies nothing", 0, 0, 0, true, {0, 0, 0, 0, 0}},
        SafeCopyCase{"count below minus one copies nothing", 9, 9, -5, true, {0, 0, 0, 0, 0}},
        SafeCopyCase{"past the destination end", 0, 3, 3, false, {}},
        SafeCopyCase{"past the source end", 1, 0, 3, false, {}},
        SafeCopyCase{"negative source index", -1, 0, 1, false, {}},
        SafeCopyCase{"negative destination index", 0, -1, 1, false, {}}),
    [](const auto& info) {
        std::string n = info.param.name;
        for (auto& ch : n)
            if (!std::isalnum(static_cast<unsigned char>(ch)))
                ch = '_';
        return n;
    });

TEST(SafeCopy, EmptySourceWithWholeCountDoesNothingWhateverTheFlag) {
    ByteArray destination;
    TKUDynArray::SafeCopy("", 0, destination, 0, -1, true);
    TKUDynArray::SafeCopy("", 0, destination, 0, -1, false);
    EXPECT_TRUE(destination.empty());
}

struct CopyToBufferCase {
    const char* name;
    ByteString source;
    std::int32_t count;
    std::int32_t source_index;
    std::int32_t destination_index;
    std::int32_t copied;
};

class CopyStringToBytesRanges : public ::testing::TestWithParam<CopyToBufferCase> {};

// The buffer sits between two guard zones; nothing may ever land in them.
TEST_P(CopyStringToBytesRanges, NeverWritesOutsideTheBufferNorReadsPastTheSource) {
    const auto& c = GetParam();
    std::array<std::uint8_t, 8 + 24 + 8> area{};
    area.fill(0xAA);
    std::uint8_t* buffer = area.data() + 8;
    std::fill(buffer, buffer + 24, 0);

    EXPECT_EQ(CopyStringToBytes(c.source, buffer, 24, c.count, c.source_index, c.destination_index),
              c.copied);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(area[i], 0xAA);
        EXPECT_EQ(area[8 + 24 + i], 0xAA);
    }
    const std::int32_t n = c.copied;
    for (std::int32_t i = 0; i < 24; ++i) {
        const bool in_copy = i >= c.destination_index && i < c.destination_index + n;
        const std::uint8_t expected =
            in_copy ? static_cast<std::uint8_t>(c.source[c.source_index + i - c.destination_index])
                    : 0;
        EXPECT_EQ(buffer[i], expected) << c.name << " at " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, CopyStringToBytesRanges,
    ::testing::Values(CopyToBufferCase{"whole_key", ByteString("\x01\x02\x03\x04\x05\x06\x07\x08"),
                                       0, 0, 0, 8},
                      CopyToBufferCase{"empty_source", ByteString(), 0, 0, 0, 0},
                      CopyToBufferCase{"part_at_offset", ByteString("abcdef"), 3, 2, 10, 3},
                      CopyToBufferCase{"exactly_fills", ByteString(24, 'x'), 0, 0, 0, 24},
                      CopyToBufferCase{"too_long_for_buffer", ByteString(30, 'x'), 0, 0, 0, 0},
                      CopyToBufferCase{"runs_past_buffer_end", ByteString(8, 'y'), 0, 0, 20, 0},
                      CopyToBufferCase{"count_past_source", ByteString("abc"), 5, 0, 0, 0},
                      CopyToBufferCase{"negative_index", ByteString("abc"), 1, -1, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

struct BytesToStringCase {
    const char* name;
    std::int32_t count;
    std::int32_t start;
    bool ok;
    ByteString result;
};

class BytesToStringRanges : public ::testing::TestWithParam<BytesToStringCase> {};

TEST_P(BytesToStringRanges, TakesARangeOfTheBuffer) {
    const std::uint8_t buffer[4] = {0x00, 0x41, 0x42, 0xFF};
    ByteString out = "left over";
    EXPECT_EQ(TTByteArray::BytesToString(buffer, 4, GetParam().count, GetParam().start, out),
              GetParam().ok);
    EXPECT_EQ(out, GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(Table, BytesToStringRanges,
                         ::testing::Values(BytesToStringCase{"whole", 0, 0, true,
                                                             ByteString("\0AB\xFF", 4)},
                                           BytesToStringCase{"middle", 2, 1, true, "AB"},
                                           BytesToStringCase{"past_end", 4, 1, false, ""},
                                           BytesToStringCase{"start_beyond", 1, 5, false, ""},
                                           BytesToStringCase{"negative_start", 1, -1, false, ""}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BytesToString, EmptyBufferWithWholeCountIsFalse) {
    ByteString out = "x";
    EXPECT_FALSE(TTByteArray::BytesToString(nullptr, 0, 0, 0, out));
    EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace qel::util
