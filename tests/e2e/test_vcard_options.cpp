// qel_vcard's command line: every malformed value must stop it with exit status 2 and a message
// naming the option, before it goes near vpcd. A typo in a test's options must never turn into
// a card that quietly answers something else.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/support/child_process.h"
#include "tests/e2e/support/pcsc_client.h"

namespace qel::e2e {
namespace {

struct BadOptions {
    const char* name;
    std::vector<std::string> args;
    std::string message;  // part of what the card must say
};

class VcardBadOptions : public ::testing::TestWithParam<BadOptions> {};

TEST_P(VcardBadOptions, ExitsWithStatus2AndNamesTheProblem) {
    ChildProcess vcard(QEL_VCARD_PATH, GetParam().args);
    EXPECT_EQ(vcard.wait_exit(kDefaultTimeout), 2);
    EXPECT_NE(vcard.log().find(GetParam().message), std::string::npos) << vcard.log();
}

INSTANTIATE_TEST_SUITE_P(
    Vcard, VcardBadOptions,
    ::testing::Values(
        BadOptions{"NonHexDigit", {"--serial", "0G"}, "--serial needs"},
        BadOptions{"OddDigitCount", {"--firmware", "ABC"}, "--firmware needs"},
        BadOptions{"SeparatorInHex", {"--error-code", "00 2A"}, "--error-code needs"},
        BadOptions{"ShortSessionKey", {"--session-key", "00112233445566"}, "--session-key needs"},
        BadOptions{"LongSessionKey", {"--session-key", "001122334455667788"}, "--session-key"},
        BadOptions{"CplcSerialNotFourBytes", {"--cplc-serial", "001122"}, "--cplc-serial needs"},
        BadOptions{"AnswerTooLongForT0", {"--serial", std::string(514, '0')}, "--serial needs"},
        BadOptions{"StatusWithoutCommand", {"--sw", "=6A82"}, "--sw needs"},
        BadOptions{"StatusWithoutEquals", {"--sw", "00A4"}, "--sw needs"},
        BadOptions{"StatusOneByte", {"--sw", "00A4=6A"}, "--sw needs"},
        BadOptions{"EmptyShortAnswerPrefix", {"--short-answer", ""}, "--short-answer needs"},
        BadOptions{"NegativePullAfter", {"--pull-after", "-1"}, "--pull-after needs"},
        BadOptions{"TrailingGarbage", {"--pull-after", "2x"}, "--pull-after needs"},
        BadOptions{"SilentAfterNotACount", {"--silent-after", "one"}, "--silent-after needs"},
        BadOptions{
            "SilentForZero", {"--silent-after", "1", "--silent-for", "0"}, "--silent-for needs"},
        BadOptions{"SilentForAlone", {"--silent-for", "500"}, "--silent-for needs --silent-after"},
        BadOptions{"PortZero", {"--port", "0"}, "--port needs"},
        BadOptions{"PortTooLarge", {"--port", "65536"}, "--port needs"},
        BadOptions{"AtrTooShort", {"--atr", "3B"}, "--atr needs"},
        BadOptions{"UnknownOption", {"--bogus"}, "unknown option \"--bogus\""},
        BadOptions{"MissingValue", {"--serial"}, "--serial needs a value"},
        BadOptions{"ValueOnFlag", {"--t1=yes"}, "--t1 takes no value"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(VcardOptions, ValidOptionsGetAsFarAsConnecting) {
    // Lower-case hex and the --option=value form are fine; nothing listens on port 1.
    ChildProcess vcard(QEL_VCARD_PATH, {"--serial=0a1b", "--sw", "00a4=6a82", "--port", "1"});
    EXPECT_EQ(vcard.wait_exit(kDefaultTimeout), 1);
    EXPECT_NE(vcard.log().find("cannot connect to vpcd on 127.0.0.1:1"), std::string::npos)
        << vcard.log();
}

TEST(VcardOptions, HelpListsTheOptionsAndSucceeds) {
    ChildProcess vcard(QEL_VCARD_PATH, {"--help"});
    EXPECT_EQ(vcard.wait_exit(kDefaultTimeout), 0);
    EXPECT_NE(vcard.log().find("--pull-after N"), std::string::npos) << vcard.log();
}

TEST(VcardAtr, T1AtrChecksumMakesTheBytesAfterTsXorToZero) {
    // pcscd lets a wrong TCK pass; a real reader need not.
    const ByteArray atr = bytes("3B880151454C2D444F4E47FE");
    std::uint8_t sum = 0;
    for (std::size_t i = 1; i < atr.size(); ++i)
        sum ^= atr[i];
    EXPECT_EQ(sum, 0);
}

}  // namespace
}  // namespace qel::e2e
