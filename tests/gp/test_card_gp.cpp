#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "card/KSCardAPIExceptions.h"
#include "gp/GPCommandsBase.h"
#include "gp/GPToolsUtils.h"
#include "gp/KSCardAPICardGP.h"
#include "tests/support/fake_pcsc_fixture.h"
#include "util/Exception.h"
#include "util/KUDynArrays.h"

namespace qel::gp {
namespace {

using namespace qel::testing;
using util::ByteArray;

const std::string kDongleHex = "71656C3231010101";

class GlobalPlatformCard : public FakePcscTest {
protected:
    void SetUp() override {
        FakePcscTest::SetUp();
        ASSERT_EQ(card::SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context), 0);
    }

    std::unique_ptr<TKSCardAPICardGP> connect(const std::string& reader) {
        SCARDHANDLE handle = 0;
        DWORD protocol = 0;
        EXPECT_EQ(card::SCardConnectA(context, reader.c_str(), SCARD_SHARE_EXCLUSIVE,
                                      SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &handle, &protocol),
                  0);
        return card::TKSCardAPICardBase::Create<TKSCardAPICardGP>(
            card::CardConnection(context, handle), protocol, reader);
    }

    SCARDCONTEXT context = 0;
};

TEST_F(GlobalPlatformCard, AfterConstructionTheCardManagerCountsAsSelectedWithoutASelect) {
    add_gp_card("R");
    auto gp = connect("R");
    EXPECT_EQ(gp->CardManagerAID.GetAsHexString(), "A0000000030000");
    EXPECT_EQ(gp->SelectedAID.GetAsHexString(), "A0000000030000");
    EXPECT_EQ(gp->Serial.GetAsHexString(), "00000000");
    EXPECT_EQ(gp->HWID.GetAsHexString(), "0000000000000000");
    EXPECT_TRUE(sent().empty());
}

TEST_F(GlobalPlatformCard, UnknownAtrGetsTheEgateCardManager) {
    add_gp_card("R").atr = {0x3B, 0x02, 0x14, 0x50};
    EXPECT_EQ(connect("R")->CardManagerAID.GetAsHexString(), "A0000000030000");
}

TEST_F(GlobalPlatformCard, CplcWithTheCardManagerSelectedIsOneGetData) {
    add_gp_card("R").answer(kGetCplc, concat(cplc_answer({1, 2, 3, 4}), kSw9000));
    auto gp = connect("R");
    ByteArray cplc;
    gp->GetCPLCData(cplc);
    EXPECT_EQ(cplc.size(), 45u);
    ASSERT_EQ(sent(), (std::vector<Bytes>{kGetCplc}));
    EXPECT_EQ(pcsc.calls("SCardTransmit")[0].buffer_size, 45u + 2u);
}

TEST_F(GlobalPlatformCard, CplcAfterAnotherAppletSwitchesToTheCardManagerAndBack) {
    add_gp_card("R", SCARD_PROTOCOL_T1, {kDongleAid})
        .answer(kGetCplc, concat(cplc_answer({1, 2, 3, 4}), kSw9000));
    auto gp = connect("R");
    ByteArray answer;
    gp->SelectApplet(kDongleHex, 255, answer);
    EXPECT_EQ(gp->SelectedAID.GetAsHexString(), kDongleHex);

    gp->GetCPLCData(answer);
    EXPECT_EQ(sent(), (std::vector<Bytes>{select_apdu(kDongleAid), select_apdu(kCardManagerAid),
                                          kGetCplc, select_apdu(kDongleAid)}));
    EXPECT_EQ(gp->SelectedAID.GetAsHexString(), kDongleHex);
}

TEST_F(GlobalPlatformCard, CplcWithoutTagAndLengthIsTheWrongLengthError) {
    Bytes bare = cplc_answer({1, 2, 3, 4});
    bare.erase(bare.begin(), bare.begin() + 3);
    add_gp_card("R", SCARD_PROTOCOL_T1, {kDongleAid}).answer(kGetCplc, concat(bare, kSw9000));
    auto gp = connect("R");
    ByteArray answer;
    gp->SelectApplet(kDongleHex, 255, answer);
    try {
        gp->GetCPLCData(answer);
        FAIL() << "no exception";
    } catch (const card::EKSCardAPIWinAPIException& e) {
        EXPECT_STREQ(e.what(),
                     "Error issuing GetData command for GetCPLCData. Wrong response length!");
        EXPECT_EQ(e.ErrorCode, 0u);
    }
    // The applet is not selected again after the failure.
    EXPECT_EQ(sent().size(), 3u);
}

TEST_F(GlobalPlatformCard, SerialAndHwidComeFromTheCplc) {
    add_gp_card("R").answer(
        kGetCplc,
        concat(cplc_answer({0xDE, 0xAD, 0xBE, 0xEF}, {0x12, 0x34}, {0x56, 0x78}), kSw9000));
    auto gp = connect("R");
    EXPECT_EQ(gp->GetSerial().GetAsHexString(), "DEADBEEF");
    EXPECT_EQ(gp->GetHWID().GetAsHexString(), "DEADBEEF12345678");
    EXPECT_EQ(&gp->GetSerial(), &gp->Serial);
    EXPECT_EQ(sent().size(), 3u);  // every call reads the CPLC anew
}

TEST_F(GlobalPlatformCard, RefusedSelectRaisesAndKeepsTheSelection) {
    add_gp_card("R");
    auto gp = connect("R");
    ByteArray answer;
    try {
        gp->SelectApplet(kDongleHex, 255, answer);
        FAIL() << "no exception";
    } catch (const card::EKSCardAPIISO7816Excepion& e) {
        EXPECT_STREQ(e.what(),
                     "Card returned error message . ISO7816 error 0x6A82 (Wrong parameter(s) "
                     "P1-P2. File not found)");
    }
    EXPECT_EQ(gp->SelectedAID.GetAsHexString(), "A0000000030000");
}

TEST_F(GlobalPlatformCard, EmptyAidSendsNothing) {
    add_gp_card("R");
    auto gp = connect("R");
    ByteArray answer{1, 2};
    gp->SelectApplet("", 255, answer);
    EXPECT_TRUE(answer.empty());
    EXPECT_TRUE(sent().empty());
}

TEST_F(GlobalPlatformCard, OddDigitAidFailsBeforeAnythingIsSent) {
    add_gp_card("R");
    auto gp = connect("R");
    ByteArray answer;
    EXPECT_THROW(gp->SelectApplet("A00", 255, answer), util::Exception);
    EXPECT_TRUE(sent().empty());
}

// Profiles from an INI file in the current directory.
class GlobalPlatformCardWithIni : public GlobalPlatformCard {
protected:
    void SetUp() override {
        GlobalPlatformCard::SetUp();
        old_dir = std::filesystem::current_path();
        dir =
            std::filesystem::temp_directory_path() / ("qel_gp_card_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        std::filesystem::current_path(dir);
    }
    void TearDown() override {
        std::filesystem::current_path(old_dir);
        std::filesystem::remove_all(dir);
        GlobalPlatformCard::TearDown();
    }
    void write_ini(const std::string& text) { std::ofstream(dir / "KSCard.ini") << text; }

    std::filesystem::path old_dir, dir;
};

TEST_F(GlobalPlatformCardWithIni, ProfileWithoutCardManagerLeavesItEmptyAndSelectsNothing) {
    write_ini("[3B759400006202020301]\nName=no manager\n");
    add_gp_card("R");
    auto gp = connect("R");
    EXPECT_EQ(gp->CardManagerAID.GetLength(), 0);
    EXPECT_FALSE(gp->ResolveCardManagerAID(""));
    EXPECT_FALSE(gp->ResolveCardManagerAID("A000000151000000"));
    EXPECT_EQ(gp->CardManagerAID.GetAsHexString(), "A000000151000000");
    gp->ResolveCardManagerAID("");
    ByteArray answer;
    gp->SelectCardManager(255, answer);
    EXPECT_TRUE(sent().empty());
}

TEST_F(GlobalPlatformCardWithIni, ProfileCardManagerIsUsedForTheSelection) {
    write_ini("[3B759400006202020301]\nCardManagerAID = A0 00 00 01 51 00 00 00\n");
    add_gp_card("R");
    auto gp = connect("R");
    EXPECT_EQ(gp->SelectedAID.GetAsHexString(), "A000000151000000");
}

TEST_F(GlobalPlatformCardWithIni, MalformedProfileAbortsTheCardAndDisconnectsIt) {
    write_ini("[3B759400006202020301]\nCardManagerAID = A0 00 0\n");
    add_gp_card("R");
    EXPECT_THROW(connect("R"), util::Exception);
    expect_everything_released();
}

TEST_F(GlobalPlatformCard, FailedAtrReadAbortsTheCardAndDisconnectsIt) {
    add_gp_card("R");
    pcsc.reader("R").get_attrib_result = SCARD_E_UNSUPPORTED_FEATURE;
    pcsc.reader("R").status_result = SCARD_E_NO_SMARTCARD;
    EXPECT_THROW(connect("R"), card::EKSCardAPIWinAPIException);
    expect_everything_released();
}

struct SelectCase {
    const char* name;
    ByteArray aid;
    ByteArray apdu;
};

class BuildSelectBytes : public ::testing::TestWithParam<SelectCase> {};

TEST_P(BuildSelectBytes, HeaderLengthAndAid) {
    ByteArray out{0xEE};
    TKGPCommandsBase::BuildSelect(GetParam().aid, out);
    EXPECT_EQ(out, GetParam().apdu);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BuildSelectBytes,
    ::testing::Values(SelectCase{"card_manager",
                                 {0xA0, 0, 0, 0, 3, 0, 0},
                                 {0, 0xA4, 4, 0, 7, 0xA0, 0, 0, 0, 3, 0, 0}},
                      SelectCase{"dongle",
                                 {0x71, 0x65, 0x6C, 0x32, 0x31, 1, 1, 1},
                                 {0, 0xA4, 4, 0, 8, 0x71, 0x65, 0x6C, 0x32, 0x31, 1, 1, 1}},
                      SelectCase{"longest_aid", ByteArray(255, 0xA5),
                                 concat({0, 0xA4, 4, 0, 0xFF}, ByteArray(255, 0xA5))},
                      // Lc 00 would read as asking for 256 bytes.
                      SelectCase{"empty_keeps_its_lc", {}, {0, 0xA4, 4, 0, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(GPCommands, SelectOfAnAidLongerThanLcCountsIsRefusedAndLeavesTheOutput) {
    for (std::size_t length : {256u, 300u}) {
        ByteArray out{0xEE};
        try {
            TKGPCommandsBase::BuildSelect(ByteArray(length, 0xA0), out);
            FAIL() << length;
        } catch (const card::EKSCardAPIWinAPIException& e) {
            EXPECT_EQ(std::string(e.what()), "Command data too long for a command APDU: " +
                                                 std::to_string(length) + " bytes");
            EXPECT_EQ(e.ErrorCode, 0u);
        }
        EXPECT_EQ(out, ByteArray{0xEE});
    }
}

TEST_F(GlobalPlatformCard, SelectOfATooLongAidSendsNothingAndKeepsTheSelection) {
    add_gp_card("R");
    auto gp = connect("R");
    ByteArray answer;
    EXPECT_THROW(gp->SelectApplet(std::string(2 * 300, 'A'), 255, answer),
                 card::EKSCardAPIWinAPIException);
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(gp->SelectedAID.GetAsHexString(), "A0000000030000");
}

TEST(GPCommands, GetCplcAndSelectFromHex) {
    ByteArray out;
    TKGPCommandsBase::BuildGetCPLCData(out);
    EXPECT_EQ(out, (ByteArray{0x80, 0xCA, 0x9F, 0x7F}));
    TKGPCommandsBase::BuildSelectHex("a0 00 00 00 03 00 00", out);
    EXPECT_EQ(out, (ByteArray{0, 0xA4, 4, 0, 7, 0xA0, 0, 0, 0, 3, 0, 0}));
}

struct CopyCase {
    const char* name;
    std::int32_t source_index, destination_index, count;
    const char* result;  // nullptr: bounds error
};

class SafeCopyArrayRanges : public ::testing::TestWithParam<CopyCase> {};

TEST_P(SafeCopyArrayRanges, CopiesInPlaceOrRaisesAndKeepsTheDestination) {
    const auto& c = GetParam();
    const ByteArray source{1, 2, 3};
    ByteArray destination(5, 0);
    if (c.result) {
        TKGPToolsUtils::SafeCopyArray(source, c.source_index, destination, c.destination_index,
                                      c.count);
        EXPECT_EQ(util::TKUDynArray::ByteStreamToHexString(destination, ""), c.result);
    } else {
        try {
            TKGPToolsUtils::SafeCopyArray(source, c.source_index, destination, c.destination_index,
                                          c.count);
            FAIL() << c.name;
        } catch (const util::Exception& e) {
            EXPECT_STREQ(e.what(), "Cannot safecopy array. Bounds error");
        }
        EXPECT_EQ(destination, ByteArray(5, 0));
    }
}

INSTANTIATE_TEST_SUITE_P(Table, SafeCopyArrayRanges,
                         ::testing::Values(CopyCase{"whole", 0, 2, -1, "0000010203"},
                                           CopyCase{"part", 1, 0, 2, "0203000000"},
                                           CopyCase{"zero", 0, 0, 0, "0000000000"},
                                           CopyCase{"below_minus_one", 0, 0, -4, "0000000000"},
                                           CopyCase{"past_destination", 0, 3, 3, nullptr},
                                           CopyCase{"past_source", 2, 0, 2, nullptr},
                                           CopyCase{"negative_index", -1, 0, 1, nullptr}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(GPTools, WholeOfAnEmptySourceIntoAnEmptyDestinationCopiesNothing) {
    ByteArray destination;
    TKGPToolsUtils::SafeCopyArray({}, 0, destination, 0, -1);
    EXPECT_TRUE(destination.empty());
}

}  // namespace
}  // namespace qel::gp
