#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <exception>
#include <utility>

#include "card/KSCardAPIExceptions.h"
#include "card/WinSCard.h"
#include "cli/cli_options.h"
#include "cli/diagnosis.h"
#include "cli/journal_records.h"
#include "cli/qel_sn.h"
#include "log/journal.h"
#include "readout/insertion_watch.h"
#include "readout/option_help.h"
#include "readout/readout_fields.h"
#include "readout/version.h"
#include "util/Exception.h"
#include "window/window_options.h"

namespace qel::app {
namespace {

using Args = std::vector<std::string>;
using Outcome = ReadoutResult::Outcome;

// --- Options -------------------------------------------------------------------------------

struct OptionsCase {
    const char* name;
    Args args;
    std::string parsed;  // the options that came out, or the error text
};

std::string parsed(const Args& args) {
    CliOptions options;
    options.json = true;  // whatever a caller left there must not survive
    if (const auto error = parse_cli_options(args, options))
        return "error: " + *error;
    std::string text;
    for (const auto& [set, name] : {std::pair{options.json, "json "},
                                    {options.all, "all "},
                                    {options.help, "help "},
                                    {options.version, "version "},
                                    {options.watch, "watch "},
                                    {options.journal, "journal "}})
        text += set ? name : "";
    text += options.reader.empty() ? "" : "reader=" + options.reader;
    if (options.timeout_seconds != kDefaultTimeoutSeconds)
        text += " timeout=" + std::to_string(options.timeout_seconds);
    return text;
}

class CliOptionsParse : public ::testing::TestWithParam<OptionsCase> {};

TEST_P(CliOptionsParse, AcceptsTheOptionsAndRefusesAnythingElse) {
    EXPECT_EQ(parsed(GetParam().args), GetParam().parsed);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, CliOptionsParse,
    ::testing::Values(
        OptionsCase{"JsonAndAll", {"--all", "--json"}, "json all "},
        OptionsCase{"ReaderWithEquals", {"--reader=A=B"}, "reader=A=B"},
        OptionsCase{"ReaderThatLooksLikeAnOption", {"--reader", "--json"}, "reader=--json"},
        OptionsCase{
            "ReaderWithoutName", {"--reader"}, "error: option --reader needs a reader name"},
        OptionsCase{"EmptyReaderName", {"--reader="}, "error: option --reader needs a reader name"},
        OptionsCase{"Unknown", {"--jsn"}, "error: unknown option --jsn"},
        OptionsCase{"Positional", {"reader"}, "error: unexpected argument reader"},
        OptionsCase{"AllWithReader",
                    {"--all", "--reader", "A"},
                    "error: --all and --reader exclude each other"},
        OptionsCase{"WatchWithJsonAndReader",
                    {"--watch", "--json", "--reader", "A"},
                    "json watch reader=A"},
        OptionsCase{
            "WatchWithAll", {"--all", "--watch"}, "error: --watch and --all exclude each other"},
        OptionsCase{"JournalWatch", {"--journal", "--watch"}, "watch journal "},
        OptionsCase{"JournalWithJson",
                    {"--journal", "--json"},
                    "error: --json and --journal exclude each other"},
        OptionsCase{"ReaderTwice",
                    {"--reader", "A", "--reader=B"},
                    "error: option --reader is given twice"},
        OptionsCase{"Timeouts", {"--timeout", "0", "--watch"}, "watch  timeout=0"},
        OptionsCase{"TimeoutWithEquals", {"--timeout=86400"}, " timeout=86400"},
        OptionsCase{"TimeoutTwice",
                    {"--timeout=5", "--timeout", "6"},
                    "error: option --timeout is given twice"},
        OptionsCase{"TimeoutNotANumber",
                    {"--timeout", "5s"},
                    "error: option --timeout needs a number of seconds from 0 to 86400, not 5s"},
        OptionsCase{"TimeoutPastADay",
                    {"--timeout=86401"},
                    "error: option --timeout needs a number of seconds from 0 to 86400, not 86401"},
        OptionsCase{"DoubleDashEndsTheOptions",
                    {"--json", "--", "--all"},
                    "error: unexpected argument --all"},
        OptionsCase{"Abbreviated", {"--wat"}, "error: unknown option --wat"},
        OptionsCase{"AbbreviatedWithoutItsValue", {"--re"}, "error: unknown option --re"},
        OptionsCase{"ShortOptionsTogether", {"-hh"}, "error: unknown option -hh"},
        OptionsCase{"ValueToAFlag", {"--json=1"}, "error: unknown option --json=1"},
        OptionsCase{"DashAlone", {"-"}, "error: unknown option -"},
        OptionsCase{"DiagnoseWithItsTimeout",
                    {"--diagnose", "--timeout", "5", "--json"},
                    "json  timeout=5"},
        OptionsCase{"DiagnoseWithAReader",
                    {"--diagnose", "--reader", "A"},
                    "error: --diagnose takes no other option than --json and --timeout"}),
    [](const auto& info) { return std::string(info.param.name); });

// The parser's state is the process's: a line refused in the middle of "-hx" leaves nothing
// behind for the next.
TEST(CliOptionsParse, EachLineIsParsedAfresh) {
    EXPECT_EQ(parsed({"-hx"}), "error: unknown option -hx");
    EXPECT_EQ(parsed({"--json"}), "json ");
}

TEST(OptionHelp, DescriptionsShareAColumnAndALongLabelGetsALineOfItsOwn) {
    EXPECT_EQ(
        option_help_lines({{"--all", "every reader"}, {"--timeout SECONDS", "how\nlong"}}, 17),
        "  --all          every reader\n"
        "  --timeout SECONDS\n"
        "                 how\n"
        "                 long\n");
}

// --- The window's options ---------------------------------------------------------------

struct WindowOptionsCase {
    const char* name;
    Args args;
    std::string early;   // answered before the toolkit starts
    std::string parsed;  // what is left once the toolkit has taken its own
};

std::string window_words(const WindowOptions& options) {
    return std::string(options.watch ? "watch " : "") + (options.help ? "help " : "") +
           (options.version ? "version " : "");
}

class WindowOptionsParse : public ::testing::TestWithParam<WindowOptionsCase> {};

TEST_P(WindowOptionsParse, HelpAndVersionComeFirstAndNothingUnknownOpensTheWindow) {
    const auto& c = GetParam();
    EXPECT_EQ(window_words(early_window_options(c.args)), c.early);
    WindowOptions options;
    options.help = true;  // whatever a caller left there must not survive
    const auto error = parse_window_options(c.args, options);
    EXPECT_EQ(error ? "error: " + *error : window_words(options), c.parsed);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, WindowOptionsParse,
    ::testing::Values(
        WindowOptionsCase{"None", {}, "", ""},
        WindowOptionsCase{"Watch", {"--watch"}, "", "watch "},
        WindowOptionsCase{"HelpAmongOthers",
                          {"--watch", "--bogus", "-h"},
                          "help ",
                          "error: unknown option --bogus"},
        WindowOptionsCase{"VersionAfterAPositional",
                          {"x", "--version"},
                          "version ",
                          "error: unexpected argument x"},
        WindowOptionsCase{"MistypedWatch", {"--wacth"}, "", "error: unknown option --wacth"},
        WindowOptionsCase{
            "ACommandLineProgramOption", {"--json"}, "", "error: unknown option --json"},
        WindowOptionsCase{"ShortNameWithTwoDashes", {"--h"}, "", "error: unknown option --h"},
        WindowOptionsCase{"DoubleDash", {"--"}, "", "error: unknown option --"},
        WindowOptionsCase{"ValueToAFlag", {"--watch=1"}, "", "error: unknown option --watch=1"}),
    [](const auto& info) { return std::string(info.param.name); });

// The window's command line is checked before the toolkit starts: the toolkit's options go, with
// their values, and whether there is a display at all is known.
TEST(WindowCommandLine, LeavesOnlyOurOptionsAndFindsADisplayOrNone) {
    EXPECT_EQ(without_toolkit_options({"-platform", "offscreen", "--watch", "--style=fusion",
                                       "-reverse", "--display", ":1", "--bogus"}),
              (Args{"--watch", "--bogus"}));
    EXPECT_EQ(without_toolkit_options({"-reverse=1", "--", "-platform"}),
              (Args{"-reverse=1", "--"}));
    EXPECT_FALSE(window_has_display({"--watch"}, nullptr, "", nullptr));
    EXPECT_TRUE(window_has_display({"--platform=offscreen"}, nullptr, nullptr, nullptr));
    EXPECT_TRUE(window_has_display({}, nullptr, nullptr, "wayland-0"));
    EXPECT_TRUE(window_has_display({}, "xcb", nullptr, nullptr));
}

TEST(CliHelp, ALogPathFromTheEnvironmentCannotDriveTheTerminal) {
    log::LogPlace place;
    place.file = "/home/u\n\x1B[2J/qel-sn-reader/qel_sn.log";
    EXPECT_NE(usage_text(place).find("  /home/u; \\x1B[2J/qel-sn-reader/qel_sn.log\n"),
              std::string::npos)
        << usage_text(place);
}

TEST(Version, NamesTheProgram) {
    EXPECT_EQ(version_text(), "qel_sn 1.1\n");
    EXPECT_EQ(version_text("qel_sn_reader"), "qel_sn_reader 1.1\n");
}

// --- Lines -------------------------------------------------------------------------------

TEST(CliLines, AMultiLineFailureTextGetsLfLineEnds) {
    EXPECT_EQ(terminal_line("Dongle can't be found: Error when listing readers\r\nSmartCard API "
                            "error #2148532270\r\nCannot find a smart card reader."),
              "Dongle can't be found: Error when listing readers\nSmartCard API error "
              "#2148532270\nCannot find a smart card reader.\n");
    // A lone CR is no line break of the window's: on a terminal it would overwrite the line.
    EXPECT_EQ(terminal_line("a\rb"), "a\\x0Db\n");
}

// A reader name or a card's text on standard error: one line, nothing a terminal obeys.
TEST(CliLines, AnErrorLineJoinsTheLinesOfATextAndEscapesControls) {
    EXPECT_EQ(error_line("Error when listing readers\r\nSmartCard API error #1\r\nText.\r\n"),
              "Error when listing readers; SmartCard API error #1; Text.");
    EXPECT_EQ(error_line("A\nB\rC"), "A; B; C");
    EXPECT_EQ(error_line("no reader \"X\x1B[2J\x07\x7F\""), "no reader \"X\\x1B[2J\\x07\\x7F\"");
    // U+009B is a terminal's CSI; U+00E9 is a letter.
    EXPECT_EQ(error_line("a\xC2\x9B"
                         "1m \xC3\xA9"),
              "a\\xC2\\x9B"
              "1m \xC3\xA9");
}

// A text from outside (a reader name, a card's answer, a KSCard.ini section) under the one rule
// of both functions; only what becomes of its line breaks differs.
struct OutsideTextCase {
    const char* name;
    std::string text;
    std::string error_line;     // on standard error
    std::string terminal_line;  // on standard output, its LF included
};

class OutsideText : public ::testing::TestWithParam<OutsideTextCase> {};

TEST_P(OutsideText, EscapesEveryControlAndKeepsValidUtf8) {
    EXPECT_EQ(error_line(GetParam().text), GetParam().error_line);
    EXPECT_EQ(terminal_line(GetParam().text), GetParam().terminal_line);
}

const std::string kForged =
    "Reader \"Evil\nok      dongle   FORGED 0A1B2C3D\x1B[2J\" is not connected";

INSTANTIATE_TEST_SUITE_P(
    Texts, OutsideText,
    ::testing::Values(
        // 0x9B alone is CSI to a terminal that takes bytes as Latin-1 (CSI J clears the screen).
        OutsideTextCase{"LoneCsi", "[Evil\x9BJ]", "[Evil\\x9BJ]", "[Evil\\x9BJ]\n"},
        OutsideTextCase{"LoneC1AtBothEndsOfTheRange", "\x80x\x9F", "\\x80x\\x9F", "\\x80x\\x9F\n"},
        // The lead byte of a cut sequence is a Latin-1 letter; the byte after it is C1.
        OutsideTextCase{"CutSequence", "x\xE2\x82", "x\xE2\\x82", "x\xE2\\x82\n"},
        // Continuation bytes in the C1 range inside valid UTF-8 (U+20AC, U+011B) are letters.
        OutsideTextCase{"ValidUtf8", "Leseger\xC3\xA4t \xE2\x82\xAC \xC4\x9B",
                        "Leseger\xC3\xA4t \xE2\x82\xAC \xC4\x9B",
                        "Leseger\xC3\xA4t \xE2\x82\xAC \xC4\x9B\n"},
        OutsideTextCase{"ForgedLine", kForged,
                        "Reader \"Evil; ok      dongle   FORGED 0A1B2C3D\\x1B[2J\" is not "
                        "connected",
                        "Reader \"Evil\\x0Aok      dongle   FORGED 0A1B2C3D\\x1B[2J\" is not "
                        "connected\n"},
        OutsideTextCase{"CrLfBetweenLines", "A\r\nB\tC\x7F", "A; B\\x09C\\x7F",
                        "A\nB\\x09C\\x7F\n"},
        // PC/SC's sentences end with a period, which a joint must not follow; an ellipsis stays.
        OutsideTextCase{"PeriodBeforeAJoint", "A\r\nReader \"R.\": Gone.\r\nWait...\r\nB.",
                        "A; Reader \"R.\": Gone; Wait...; B.",
                        "A\nReader \"R.\": Gone.\nWait...\nB.\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Diagnosis -----------------------------------------------------------------------------

// The report's lines come from the machine: a reader's name, a path, a variable.
TEST(DiagnosisText, ANameWithALineEndOrAnEscapeStaysOnItsChecksLine) {
    Diagnosis diagnosis;
    diagnosis.checks = {
        {"program", Check::Status::Ok, "qel_sn 1.1 at /opt/\x9BJ/qel_sn, log file /x", ""},
        {"readers", Check::Status::Ok, "\"Evil\nok      dongle   FORGED\x1B[2J\" (card in)", ""},
        {"dongle", Check::Status::Fail, "not found: Card with specified AID is not found",
         "No dongle in the readers searched: \"Evil\nok      dongle   FORGED\x1B[2J\"."}};
    EXPECT_EQ(diagnosis_text(diagnosis),
              "ok      program  qel_sn 1.1 at /opt/\\x9BJ/qel_sn, log file /x\n"
              "ok      readers  \"Evil; ok      dongle   FORGED\\x1B[2J\" (card in)\n"
              "FAIL    dongle   not found: Card with specified AID is not found\n"
              "        fix: No dongle in the readers searched: \"Evil; ok      dongle   "
              "FORGED\\x1B[2J\".\n");
}

// --- JSON ----------------------------------------------------------------------------------

struct JsonCase {
    const char* name;
    std::string text;
    std::string json;
};

class JsonString : public ::testing::TestWithParam<JsonCase> {};

TEST_P(JsonString, EscapesWhatJsonRefusesAndKeepsValidUtf8) {
    EXPECT_EQ(json_string(GetParam().text), GetParam().json);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, JsonString,
    ::testing::Values(JsonCase{"QuoteAndBackslash", R"(Reader "A"\B)", R"("Reader \"A\"\\B")"},
                      JsonCase{"LineEndsAndTab", "a\r\nb\tc", R"("a\r\nb\tc")"},
                      JsonCase{"OtherControls", std::string("\x00\x01\x1F\x7F", 4),
                               std::string(R"("\u0000\u0001\u001f)") + "\x7F\""},
                      JsonCase{"ValidUtf8", "Lecteur \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\x91",
                               "\"Lecteur \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\x91\""},
                      JsonCase{"Latin1Byte", "Lecteur \xE9", "\"Lecteur \xC3\xA9\""},
                      JsonCase{"TruncatedAtTheEnd", "x\xE2\x82", "\"x\xC3\xA2\xC2\x82\""},
                      JsonCase{"OverlongAndSurrogate", "\xC0\xAF\xED\xA0\x80",
                               "\"\xC3\x80\xC2\xAF\xC3\xAD\xC2\xA0\xC2\x80\""},
                      JsonCase{"PastTheLastCodePoint", "\xF4\x90\x80\x80",
                               "\"\xC3\xB4\xC2\x90\xC2\x80\xC2\x80\""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CliJson, AReadoutCarriesItsValuesAsTheWindowShowsThem) {
    ReadoutResult result;
    result.outcome = Outcome::Read;
    result.reader = "Virtual PCD 00 00";
    result.serial = "0A1B2C3D";
    result.firmware = 0x010A;
    result.error_code = 0x2A;
    EXPECT_EQ(readout_json(result, "", 1796656800),
              R"({"reader":"Virtual PCD 00 00","serial":"0A1B2C3D","firmware":"010A",)"
              R"("error_code":42,"time":"2026-12-07T15:20:00Z"})");
}

TEST(CliJson, AFailureCarriesItsTextItsStatusAndTheSearchedReaderWhenNoneWasConnected) {
    ReadoutResult result;
    result.outcome = Outcome::NotFound;
    result.failure = "Card with specified AID is not found";
    EXPECT_EQ(readout_json(result, "", 0),
              R"({"error":"Card with specified AID is not found","exit":1,)"
              R"("time":"1970-01-01T00:00:00Z"})");
    EXPECT_EQ(readout_json(result, "B", 0).rfind(R"({"reader":"B","error":)", 0), 0u);

    result.outcome = Outcome::Failed;
    result.reader = "A";
    EXPECT_EQ(readout_json(result, "B", 0).rfind(R"({"reader":"A","error":)", 0), 0u);
    EXPECT_NE(readout_json(result, "B", 0).find(R"("exit":2)"), std::string::npos);

    result.failure = "Error when listing readers\r\nSmartCard API error #1\r\nText.";
    EXPECT_NE(readout_json(result, "", 0)
                  .find(R"("error":"Error when listing readers\nSmartCard )"
                        R"(API error #1\nText.")"),
              std::string::npos);

    // JSON escapes a name as JSON does, not as a terminal needs it.
    result.failure = "Reader \"X\x1B\" is not connected";
    EXPECT_NE(readout_json(result, "", 0).find(R"("error":"Reader \"X\u001b\" is not connected")"),
              std::string::npos);
}

// --- Hints ---------------------------------------------------------------------------------

std::exception_ptr pcsc_failure(LONG code) {
    return std::make_exception_ptr(
        card::EKSCardAPIWinAPIException("Error", static_cast<std::uint32_t>(code)));
}

// As the card session raises a construction failure: a plain exception with the PC/SC one
// nested.
std::exception_ptr nested_pcsc_failure(LONG code) {
    try {
        try {
            throw card::EKSCardAPIWinAPIException(card::kErrListReaders,
                                                  static_cast<std::uint32_t>(code));
        } catch (...) {
            std::throw_with_nested(util::Exception(card::kErrListReaders));
        }
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

const std::vector<std::string> kTwoReaders{"Reader A", "Reader B"};

std::exception_ptr card_layer_failure(const char* text, card::PcscFailure meaning) {
    return std::make_exception_ptr(card::EKSCardAPIWinAPIException(text, 0, meaning));
}

using Kind = card::ReaderCause::Kind;

card::ReaderCause met(Kind kind, const std::string& reader) {
    card::ReaderCause cause;
    cause.kind = kind;
    cause.reader = reader;
    return cause;
}

struct HintCase {
    const char* name;
    Outcome outcome;
    std::string failure;
    std::exception_ptr cause;
    Hint expected;
    HintContext context = {};
    ReadoutResult::Silent silent = ReadoutResult::Silent::None;
    std::vector<card::ReaderCause> causes = {};
};

class HintSelection : public ::testing::TestWithParam<HintCase> {};

TEST_P(HintSelection, FollowsTheCodeUnderneathElseTheText) {
    const HintCase& c = GetParam();
    ReadoutResult result;
    result.outcome = c.outcome;
    result.failure = c.failure;
    result.cause = c.cause;
    result.silent = c.silent;
    result.causes = c.causes;
    EXPECT_EQ(select_hint(result, c.context), c.expected);
}

const std::string kAidNotFound = "Card with specified AID is not found";
const std::string kInUse =
    "\r\nThe card in reader \"Reader A\" is in use by another program, or still busy with a "
    "command that did not finish (then unplug it and plug it in again)";
const std::exception_ptr kRefused = std::make_exception_ptr(
    card::EKSCardAPIISO7816Excepion("Card returned error message ", 0x6A82));

constexpr Outcome kNotFound = Outcome::NotFound;
constexpr Outcome kFailed = Outcome::Failed;

// A search that met `first` in one reader and `second` in the next; the real cause may be either.
HintCase met_in_two(const char* name, Kind first, Kind second, Hint expected) {
    HintCase c{name, kNotFound, kAidNotFound, nullptr, expected};
    c.causes = {met(first, "Reader A"), met(second, "Reader B")};
    return c;
}

INSTANTIATE_TEST_SUITE_P(
    Failures, HintSelection,
    ::testing::Values(
        HintCase{"NoLibrary",
                 kNotFound,
                 "",
                 nested_pcsc_failure(SCARD_E_NO_SERVICE),
                 Hint::NoPcscLibrary,
                 {false, {}, "", {}}},
        HintCase{"ServiceNested", kNotFound, "", nested_pcsc_failure(SCARD_E_NO_SERVICE),
                 Hint::ServiceNotRunning},
        HintCase{"NoReaderNested", kNotFound, "", nested_pcsc_failure(SCARD_E_NO_READERS_AVAILABLE),
                 Hint::NoReader},
        // The meaning travels with the failure, whatever its text.
        HintCase{"EmptyReaderList", kNotFound, "Card-Reader is not found",
                 card_layer_failure(card::kErrReaderNotFound, card::PcscFailure::NoReader),
                 Hint::NoReader},
        HintCase{"RemovedDuringRead", kFailed, "", pcsc_failure(SCARD_W_REMOVED_CARD),
                 Hint::CardRemoved},
        HintCase{"ShortAnswerOfAPulledCard", kFailed, card::kErrShortAnswer,
                 card_layer_failure(card::kErrShortAnswer, card::PcscFailure::CardRemoved),
                 Hint::CardRemoved},
        HintCase{"HeldByCode", kFailed, "", pcsc_failure(SCARD_E_SHARING_VIOLATION),
                 Hint::CardInUse},
        HintCase{"ExchangeBrokenOffInTheReader", kFailed, "", pcsc_failure(SCARD_E_NOT_TRANSACTED),
                 Hint::CardLost},
        // The service's silence, not the dongle's, whatever the text the readout ended with.
        HintCase{"ServiceDidNotAnswer",
                 kNotFound,
                 kAidNotFound,
                 nullptr,
                 Hint::ServiceNotAnswering,
                 {true, kTwoReaders, "", {}},
                 ReadoutResult::Silent::Service},
        // What the search met, the real cause first.
        met_in_two("HeldBesideAnotherCard", Kind::OtherCard, Kind::CardInUse, Hint::CardInUse),
        met_in_two("UnusableProfileBeforeAnotherCard", Kind::OtherCard, Kind::ProfileUnusable,
                   Hint::ProfileUnusable),
        met_in_two("AnotherCard", Kind::NoCard, Kind::OtherCard, Hint::NotTheDongle),
        met_in_two("EveryReaderEmpty", Kind::NoCard, Kind::NoCard, Hint::EmptyReaders),
        HintCase{"RefusedCommand", kFailed, "", kRefused, Hint::ReadFailed},
        HintCase{"NoDongle",
                 kNotFound,
                 kAidNotFound,
                 nullptr,
                 Hint::NoDongle,
                 {true, kTwoReaders, "", {}}},
        HintCase{"NamedReaderIsNotThere",
                 kNotFound,
                 kAidNotFound,
                 nullptr,
                 Hint::UnknownReader,
                 {true, kTwoReaders, "Reader C", {}}},
        HintCase{"NamedReaderWithServiceDown",
                 kNotFound,
                 "",
                 nested_pcsc_failure(SCARD_E_NO_SERVICE),
                 Hint::ServiceNotRunning,
                 {true, {}, "Reader C", {}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HintText, NoDongleNamesTheReadersSearched) {
    const HintContext all{true, kTwoReaders, "", {}};
    EXPECT_NE(hint_text(Hint::NoDongle, all).find("\"Reader A\", \"Reader B\""), std::string::npos);
    const HintContext one{true, kTwoReaders, "Reader B", {}};
    EXPECT_EQ(hint_text(Hint::NoDongle, one).find("Reader A"), std::string::npos);
    EXPECT_NE(hint_text(Hint::NoDongle, one).find("\"Reader B\""), std::string::npos);
    // Who named the reader needs no advice to name one.
    EXPECT_EQ(hint_text(Hint::NoDongle, one).find("--reader"), std::string::npos);
    EXPECT_NE(hint_text(Hint::NoDongle, all).find("--reader"), std::string::npos);
}

// --- Journal entries -----------------------------------------------------------------------
// Those of a readout and of each failure are checked field by field end to end
// (tests/e2e/journal); here what a virtual card cannot bring about.

std::string fields_of(const log::JournalEntry& entry) {
    std::string text;
    for (const std::string& field : entry)
        text += field + "|";
    return text;
}

ReadoutResult result_of(Outcome outcome, std::string failure) {
    ReadoutResult result;
    result.outcome = outcome;
    result.failure = std::move(failure);
    return result;
}

TEST(JournalEntries, OneMessageLineNoReaderToNameNoEntryForAStopOrAnotherNotice) {
    EXPECT_EQ(fields_of(readout_entry(
                  result_of(Outcome::NotFound, "Not found\r\nThe card in \"R\x1b\" is held"), "")),
              "MESSAGE=Dongle can't be found: Not found; The card in \"R\\x1B\" is held|"
              "MESSAGE_ID=d5f482716e10495db6a35f109f0e8b11|PRIORITY=4|SYSLOG_IDENTIFIER=qel_sn|"
              "QEL_OUTCOME=not_found|QEL_FAILURE=Not found\nThe card in \"R\x1b\" is held|");
    EXPECT_EQ(fields_of(readout_entry(result_of(Outcome::Stopped, ""), "R 00")), "");
    EXPECT_EQ(fields_of(notice_entry(kServiceStopped)),
              "MESSAGE=The PC/SC service has stopped; waiting for it to come back|"
              "MESSAGE_ID=d66233c36f524ab18a1a1131fa2f0bdb|PRIORITY=4|SYSLOG_IDENTIFIER=qel_sn|");
    EXPECT_EQ(fields_of(notice_entry(kServiceStarted)),
              "MESSAGE=The PC/SC service has started|"
              "MESSAGE_ID=98d14d3b808b4a3a8c38a5c82e8bfcde|PRIORITY=5|SYSLOG_IDENTIFIER=qel_sn|");
    EXPECT_EQ(fields_of(notice_entry(kNoReader)),
              "MESSAGE=No reader is attached; waiting for one|"
              "MESSAGE_ID=3d1975f9b0e94d6caf68dba08c234af1|PRIORITY=5|SYSLOG_IDENTIFIER=qel_sn|");
    EXPECT_EQ(fields_of(notice_entry("the watch failed")), "");
    EXPECT_EQ(fields_of(notice_entry("")), "");
}

// journalctl shows a MESSAGE that is not printable UTF-8 as a blob; the reader's field is the
// name as PC/SC gave it, for a match.
TEST(JournalEntries, MessageIsPrintableUtf8AndTheReaderFieldKeepsItsBytes) {
    ReadoutResult result;
    result.outcome = Outcome::Read;
    result.reader = "Lecteur \xE9\x9B";
    result.serial = "0A1B2C3D";
    result.firmware = 0x010A;
    result.error_code = 0x2A;
    const std::string fields = fields_of(readout_entry(result, ""));
    EXPECT_EQ(fields.substr(0, fields.find('|')),
              "MESSAGE=Dongle 0A1B2C3D read in \"Lecteur \xC3\xA9\\x9B\": firmware 010A, error "
              "code 0x2A");
    EXPECT_NE(fields.find("|QEL_READER=Lecteur \xE9\x9B|"), std::string::npos) << fields;

    const std::string failed = fields_of(
        readout_entry(result_of(Outcome::Failed, "Reader \"\xE9\" is not connected"), ""));
    EXPECT_EQ(failed.substr(0, failed.find('|')),
              "MESSAGE=Dongle can't be read: Reader \"\xC3\xA9\" is not connected");
}

// A field of the record reaches every output that names it, or none: JSON, the journal entry,
// the diagnosis's dongle.
TEST(ReadoutFields, EachValueReachesEveryOutputThatNamesIt) {
    ReadoutResult read;
    read.outcome = Outcome::Read;
    read.reader = "R";
    read.atr = {0x3B, 0x75};
    read.serial = "0A1B2C3D";
    read.firmware = 0x010A;
    read.error_code = 0x2A;
    ReadoutResult failed = result_of(Outcome::Failed, "refused");
    failed.reader = "R";
    failed.atr = {0x3B, 0x75};
    for (const ReadoutResult* result : {&read, &failed}) {
        const std::string json = readout_json(*result, "", 0, "read_failed");
        const std::string journal =
            fields_of(readout_entry(*result, "", "read_failed", "Plug it in."));
        Diagnosis diagnosis;
        diagnosis.dongle = *result;
        const std::string dongle = diagnosis_json(diagnosis);
        const ReadoutRecord record{*result, "R", "read_failed", "Plug it in."};
        // The hint is the journal's alone: JSON gives the cause, the diagnosis its fixes.
        EXPECT_EQ(json.find("Plug it in."), std::string::npos) << json;
        // The diagnosis gives no advice in its dongle object: its checks do.
        const ReadoutRecord diagnosed{*result, "R", "", ""};
        for (const ReadoutField& field : readout_fields()) {
            const bool has = field.value(record).has_value();
            if (field.json != nullptr) {
                const std::string key = "\"" + std::string(field.json) + "\":";
                EXPECT_EQ(json.find(key) != std::string::npos, has) << field.json << json;
                EXPECT_EQ(dongle.find(key) != std::string::npos, field.value(diagnosed).has_value())
                    << field.json << dongle;
            }
            if (field.journal != nullptr) {
                EXPECT_EQ(journal.find(std::string(field.journal) + "=") != std::string::npos, has)
                    << field.journal << journal;
            }
            // The sentence, the journal's MESSAGE and the diagnosis's finding, says a read's.
            if (field.said != nullptr && result == &read) {
                EXPECT_NE(journal.find(field.said(*field.value(record))), std::string::npos)
                    << field.journal << journal;
            }
        }
    }
    EXPECT_NE(fields_of(readout_entry(read, "")).find("|QEL_ATR=3B75|"), std::string::npos);
    EXPECT_EQ(readout_sentence({read, "R", ""}),
              "Dongle 0A1B2C3D read in \"R\": firmware 010A, error code 0x2A, ATR 3B75");
}

// --- Standard error under systemd ----------------------------------------------------------

// JOURNAL_STREAM names the stream systemd gave the service; the standard error of a program it
// starts may be another file by now, and a value that is not a whole "DEVICE:INODE" names none.
TEST(JournalStream, IsTheStreamTheVariableNamesWholeAndNoOther) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    struct stat info {};
    ASSERT_EQ(::fstat(ends[1], &info), 0);
    const std::string device = std::to_string(info.st_dev);
    const std::string inode = std::to_string(info.st_ino);
    const std::pair<std::string, bool> values[] = {
        {device + ":" + inode, true},   {device + ":" + std::to_string(info.st_ino + 1), false},
        {device + "0:" + inode, false}, {device + ":" + inode + "x", false},
        {":" + inode, false},           {device, false}};
    for (const auto& [value, is_journal] : values)
        EXPECT_EQ(log::is_journal_stream(ends[1], value.c_str()), is_journal) << value;
    EXPECT_FALSE(log::is_journal_stream(ends[1], nullptr));
    ::close(ends[0]);
    ::close(ends[1]);
}

}  // namespace
}  // namespace qel::app
