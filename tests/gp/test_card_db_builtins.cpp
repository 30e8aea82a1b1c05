#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "gp/KSCardGPCardDB.h"
#include "gp/sc_config_storage.h"
#include "test_card_db_support.h"

namespace qel::gp {
namespace {

using testing::kEgateAtr;
using testing::kEgateKey;
using testing::kEgateProfile;
using testing::kEntry1Atr;
using testing::kEntry1Profile;
using testing::Profile;
using testing::ScratchDir;
using testing::snapshot;

struct TableRow {
    int entry;
    const char* atr;
    const char* aid;
};

// Typed from the card list, not copied from the code under test.
const TableRow kTable[] = {
    {0, "3B759400006202020301", "A0000000030000"},
    {1, "3B7F96000080318065B08441460412FFFE829000", "A000000018434D00"},
    {2, "3B7F96000080318065B0850201F312FFFE829000", "A000000018434D00"},
    {3, "3B759400006202020101", "A0000000030000"},
    {4, "3B759400006202020301", "A0000000030000"},
    {5, "3B759400006202020201", "A0000000030000"},
    {6, "3B759400006202020080", "A0000000030000"},
    {7, "3B750000006202020000", "A0000000030000"},
    {8, "3B6D000080318065B08401000083009000", "A0000000030000"},
    {9, "3B6600FF4A434F503230", "A0000000030000"},
    {10, "3B959540FFAE01030000", "A0000000030000"},
    {11, "3B7D95000080318065B08311D0A983009000", "A000000018434D00"},
    {12, "3B7D96000080318065B08311D0A983009000", "A000000018434D00"},
    {13, "3B7D94000080318065B0831148C883009000", "A000000018434D00"},
    {14, "3B7D95000080318065B0831148C883009000", "A000000018434D00"},
    {15, "3F6D000080318065B00501025E83009000", "A000000018434D"},
    {16, "3B7A1800FF4A434F50343156323231", "A0000000030000"},
    {17, "3BF91800008131FE454A434F503231563232A9", "A0000000030000"},
    {18, "3B750000009C02020000", "A0000000030000"},
    {19, "3B76000000009C11010000", "A0000000030000"},
    {20, "3B750000002905010000", "A0000000030000"},
    {21, "3B95004000AE01010000", "A000000003000000"},
    {22, "3BE900008131FE454A434F503431563232A7", "A000000003000000"},
};

t_sc_config egate_record() {
    t_sc_config r;
    r.name = "e-gate";
    r.atr = kEgateAtr;
    r.card_manager_aid = "A0000000030000";
    r.auth_key = r.mac_key = r.dek_key = kEgateKey;
    r.key_derivation_algo = "none";
    r.key_set_version = 1;
    r.scp_version = 1;
    r.scp_option = 5;
    r.security_level = 3;
    r.gp_version = 201;
    r.jc_version = 211;
    return r;
}

class BuiltInTable : public ::testing::TestWithParam<TableRow> {};

TEST_P(BuiltInTable, EntryHoldsItsAtrAndAidAndIsFoundByIt) {
    const TableRow& row = GetParam();
    const t_sc_config_stor table;
    ASSERT_EQ(table.count, 23);

    t_sc_config expected;
    if (row.entry == 0) {
        expected = egate_record();
    } else {
        expected.atr = row.atr;
        expected.card_manager_aid = row.aid;
    }
    EXPECT_EQ(table.items[row.entry], expected);

    t_sc_config found;
    table.find_by_atr(row.atr, found);
    // Entry 4 repeats the e-gate ATR, so the earlier, complete e-gate entry always answers.
    EXPECT_EQ(found, row.entry == 4 ? egate_record() : expected);
}

INSTANTIATE_TEST_SUITE_P(AllEntries, BuiltInTable, ::testing::ValuesIn(kTable),
                         [](const auto& info) {
                             return "Entry" + std::to_string(info.param.entry);
                         });

TEST(BuiltInLookup, UnlistedLowerCaseOrSeparatedAtrsGetTheEgateEntry) {
    const t_sc_config_stor table;
    for (const std::string atr : {"3b7f96000080318065b08441460412fffe829000",
                                  "3B 7F 96 00 00 80 31 80 65 B0 84 41 46 04 12 FF FE 82 90 00",
                                  "3B7F96000080318065B08441460412FFFE8290", "", "00"}) {
        t_sc_config found;
        table.find_by_atr(atr, found);
        EXPECT_EQ(found, egate_record()) << atr;
    }
}

TEST(BuiltInTableCapacity, AddPastFiftyEntriesIsRefusedAndChangesNothing) {
    t_sc_config_stor table;
    for (int i = table.count; i < t_sc_config_stor::capacity; ++i) {
        EXPECT_TRUE(table.add("AA" + std::to_string(i), "BB" + std::to_string(i)));
    }
    ASSERT_EQ(table.count, 50);
    const auto before = table.items;

    EXPECT_FALSE(table.add("CC", "DD"));
    EXPECT_EQ(table.count, 50);
    EXPECT_EQ(table.items, before);

    t_sc_config found;
    table.find_by_atr("AA49", found);
    EXPECT_EQ(found.card_manager_aid, "BB49");
    table.find_by_atr("CC", found);
    EXPECT_EQ(found, egate_record());
}

TEST(BuiltInTableClear, ClearEntryIgnoresBadIndexesAndClearAllEmptiesTheTable) {
    t_sc_config_stor table;
    const auto before = table.items;
    for (int bad : {-1, 50, 51, INT_MAX, INT_MIN})
        table.clear_entry(bad);
    EXPECT_EQ(table.items, before);

    table.clear_entry(1);
    EXPECT_EQ(table.items[1], t_sc_config{});
    EXPECT_EQ(table.items[2], before[2]);

    table.clear_all();
    EXPECT_EQ(table.count, 0);
    t_sc_config found = egate_record();
    table.find_by_atr(kEgateAtr, found);
    EXPECT_EQ(found, t_sc_config{});
}

struct BuiltInLoadCase {
    const char* name;
    std::string atr_hex;
    Profile expected;
};

class CardDBWithoutIni : public ::testing::TestWithParam<BuiltInLoadCase> {};

TEST_P(CardDBWithoutIni, LoadsTheBuiltInProfileInFull) {
    const ScratchDir dir;
    TKSCardGPCardDB db;
    EXPECT_EQ(db.LoadByATRHex(GetParam().atr_hex), GetParam().expected.loaded);
    EXPECT_EQ(snapshot(db), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CardDBWithoutIni,
    ::testing::Values(BuiltInLoadCase{"Entry1", kEntry1Atr, kEntry1Profile},
                      // The profile carries the e-gate ATR, not the card's own.
                      BuiltInLoadCase{"UnknownAtr", "3B00112233", kEgateProfile},
                      BuiltInLoadCase{"LowerCaseEntry1", "3b7f96000080318065b08441460412fffe829000",
                                      kEgateProfile}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qel::gp
