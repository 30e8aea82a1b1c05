#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "gp/IniFile.h"
#include "gp/KSCardGPCardDB.h"
#include "test_card_db_support.h"
#include "util/Exception.h"

namespace qel::gp {
namespace {

using testing::kEgateAtr;
using testing::kEgateProfile;
using testing::kEntry1Atr;
using testing::kEntry1Profile;
using testing::Profile;
using testing::ScratchDir;
using testing::snapshot;

constexpr const char* kEvenLength =
    "Text representation of binary data MUST have even length in StringToByteStream!";

const std::string kKey16 = "404142434445464748494A4B4C4D4E4F";
const std::string kAtr1Section = "[" + kEntry1Atr + "]\n";

bool load(TKSCardGPCardDBCore& db, const std::string& atr_hex) {
    util::TKUDynArraySoftLenContainer atr;
    atr.SetAsHexString(atr_hex);
    return db.LoadByATR(atr);
}

struct IniCase {
    const char* name;
    std::string ini;
    Profile expected;
    std::string atr = kEntry1Atr;
    bool throws_even_length = false;
};

class CardDBIni : public ::testing::TestWithParam<IniCase> {};

TEST_P(CardDBIni, LoadsTheProfileTheFileDescribes) {
    const IniCase& c = GetParam();
    const ScratchDir dir;
    dir.write("KSCard.ini", c.ini);
    TKSCardGPCardDB db;
    if (c.throws_even_length) {
        try {
            load(db, c.atr);
            FAIL() << "no error raised";
        } catch (const util::Exception& e) {
            EXPECT_STREQ(e.what(), kEvenLength);
        }
    } else {
        EXPECT_EQ(load(db, c.atr), c.expected.loaded);
    }
    EXPECT_EQ(snapshot(db), c.expected);
}

std::vector<IniCase> ini_cases() {
    const std::string& atr1 = kEntry1Atr;
    return {
        {"AliasReadsOnlyTheAliasSection",
         kAtr1Section + "Alias = Shared\nName = ignored\nCardManagerAID = 0102\n" +
             "[shared]\nName = Shared card\nCardManagerAID = A000000151000000\nAUTHKey = " +
             kKey16 + "\nMACKey=" + kKey16 + "\nDEKKey=" + kKey16 +
             "\nMotherKey=0011\nKeySetVersion = 255\nSCPVersion = 2\nSCPOption = $15\n",
         {.loaded = true,
          .atr = atr1,
          .name = "Shared card",
          .aid = "A000000151000000",
          .auth = kKey16,
          .mac = kKey16,
          .dek = kKey16,
          .mother = "0011",
          .ksv = 255,
          .scpv = 2,
          .scpo = 0x15}},
        {"AliasIsFollowedOneLevelOnly",
         kAtr1Section + "Alias=P1\n[P1]\nAlias=P2\nName=one\n[P2]\nName=two\nCardManagerAID=0102\n",
         {.atr = atr1, .name = "one"}},
        {"MissingAliasSectionGivesDefaultsNotBuiltIns",
         kAtr1Section + "Alias=Nowhere\nCardManagerAID=A0000000030000\n",
         {.atr = atr1}},
        {"SectionWithoutAidInheritsNoBuiltInKeys",
         "[" + kEgateAtr + "]\nName=Mine\n",
         {.atr = kEgateAtr, .name = "Mine"},
         kEgateAtr},
        {"CommentOnlySectionCountsAsAbsent",
         kAtr1Section + "; CardManagerAID=0102\n   ;Name=x\n\n[other]\nName=x\n", kEntry1Profile},
        {"HeaderOnlySectionCountsAsAbsent", kAtr1Section, kEntry1Profile},
        {"OnlyTheLastOfDuplicateSectionsIsSeen",
         kAtr1Section + "Name=first\nCardManagerAID=A0000000030000\nKeyNumber=7\n[x]\nName=x\n" +
             kAtr1Section + "Name=second\nKeyNumber=2\n",
         {.atr = atr1, .name = "second", .kn = 2}},
        {"LastValueOfADuplicateKeyCounts",
         kAtr1Section + "Name=a\nCardManagerAID=0102\nName=b\nCardManagerAID=0304\n",
         {.loaded = true, .atr = atr1, .name = "b", .aid = "0304"}},
        {"IntegerFormsKeepTheLowByte",
         kAtr1Section +
             "CardManagerAID=0102\nKeySetVersion=0x101\nKeyNumber=257\nSCPVersion=-1\n"
             "SCPOption=$0a\nSecurityLevel=+2\nGPVersion=0X7FFFFFFF\nJCVersion=$FFFFFFFF\n"
             "VisaOPVersion=-2147483648\n",
         {.loaded = true,
          .atr = atr1,
          .aid = "0102",
          .ksv = 1,
          .kn = 1,
          .scpv = 255,
          .scpo = 10,
          .sl = 2,
          .gp = 2147483647,
          .jc = -1,
          .vop = -2147483647 - 1}},
        {"UnparsableIntegersTakeTheirDefaults",
         kAtr1Section +
             "CardManagerAID=0102\nKeySetVersion=12abc\nKeyNumber=0x\nSCPVersion=$\n"
             "SCPOption=\nSecurityLevel=7 7\nGPVersion=2147483648\nJCVersion=0x100000000\n"
             "VisaOPVersion=-$10\n",
         {.loaded = true, .atr = atr1, .aid = "0102"}},
        {"HexValuesMayHoldSeparatorsAndLowerCase",
         kAtr1Section + "CardManagerAID = A0 00 00 00 03 00 00\nAUTHKey = 40:41:42:43:44:45:46:47:"
                        "48:49:4a:4b:4c:4d:4e:4f\n",
         {.loaded = true, .atr = atr1, .aid = "A0000000030000", .auth = kKey16}},
        {"EmptyKeyDerivationAlgoIsNotTheDefault",
         kAtr1Section + "CardManagerAID=0102\nKeyDerivationAlgo=\n",
         {.loaded = true, .atr = atr1, .aid = "0102", .kda = ""}},
        {"OddHexDigitsAbortTheLoadKeepingEarlierFields",
         kAtr1Section +
             "Name=n\nCardManagerAID=A0000000030000\nAUTHKey=none\nMACKey=0102\nKeySetVersion=5\n",
         {.atr = atr1, .name = "n", .aid = "A0000000030000", .kda = "", .sl = 0, .gp = 0, .jc = 0},
         atr1,
         true},
        {"SectionNamesAndKeysIgnoreCase",
         "[3b7f96000080318065b08441460412fffe829000]\nNAME=upper\ncardmanageraid=0102\n"
         "securitylevel=1\n",
         {.loaded = true, .atr = atr1, .name = "upper", .aid = "0102", .sl = 1}},
        {"KeylessLineMakesASectionNonEmpty", kAtr1Section + "just some words\n", {.atr = atr1}},
        {"LinesBeforeTheFirstSectionAreIgnored",
         "CardManagerAID=0102\nName=top\n" + kAtr1Section + "KeyNumber=4\n",
         {.atr = atr1, .kn = 4}},
        {"CarriageReturnLineEnds",
         "[" + atr1 + "]\rName=cr\rCardManagerAID=0102\r",
         {.loaded = true, .atr = atr1, .name = "cr", .aid = "0102"}},
        {"ByteOrderMarkBeforeTheFirstSection",
         "\xEF\xBB\xBF" + kAtr1Section + "Name=bom\r\nCardManagerAID=0102\r\n",
         {.loaded = true, .atr = atr1, .name = "bom", .aid = "0102"}},
        {"CrLfLineEndsBlanksAndControlsTrimmed",
         "\t[  " + atr1 + "  ]  \r\n \x01 Name =  a = b \t\r\nCardManagerAID=0102\x1a\r\n",
         {.loaded = true, .atr = atr1, .name = "a = b", .aid = "0102"}},
    };
}

INSTANTIATE_TEST_SUITE_P(Table, CardDBIni, ::testing::ValuesIn(ini_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// Writes something at ./KSCard.ini that must not be read. Where it has content, that content
// would give a profile of its own if read, so a missing refusal shows as a wrong profile.
struct HostileCase {
    const char* name;
    void (*make)(const ScratchDir&);
};

const std::string kReadableSection = kAtr1Section + "CardManagerAID=0102\n";

const HostileCase kHostile[] = {
    {"Directory", [](const ScratchDir&) { std::filesystem::create_directory("KSCard.ini"); }},
    {"Fifo", [](const ScratchDir&) { ASSERT_EQ(::mkfifo("KSCard.ini", 0600), 0); }},
    {"OverSize",
     [](const ScratchDir& d) {
         std::string text = kReadableSection;
         text.resize(IniFile::kMaxFileSize + 1, '\n');
         d.write("KSCard.ini", text);
     }},
    {"NulByte",
     [](const ScratchDir& d) { d.write("KSCard.ini", kReadableSection + std::string("x\0y", 3)); }},
    {"BinaryJunk",
     [](const ScratchDir& d) {
         std::string text = kReadableSection;
         for (int i = 0; i < 4096; ++i)
             text.push_back(static_cast<char>((i * 7) & 0xFF));
         d.write("KSCard.ini", text);
     }},
    {"OverLongLine",
     [](const ScratchDir& d) {
         d.write("KSCard.ini",
                 kReadableSection + ";" + std::string(IniFile::kMaxLineLength, 'x') + "\n");
     }},
    {"TooManySections",
     [](const ScratchDir& d) {
         std::string text = kReadableSection;
         for (std::size_t i = 0; i < IniFile::kMaxSections; ++i)
             text += "[s" + std::to_string(i) + "]\n";
         d.write("KSCard.ini", text);
     }},
};

class CardDBUnreadableIni : public ::testing::TestWithParam<HostileCase> {};

TEST_P(CardDBUnreadableIni, FallsBackToBuiltInsAndRetriesTheFileNextLoad) {
    const ScratchDir dir;
    GetParam().make(dir);
    TKSCardGPCardDB db;
    EXPECT_TRUE(load(db, kEntry1Atr));
    EXPECT_EQ(snapshot(db), kEntry1Profile);
    EXPECT_EQ(db.IniFile, nullptr);

    std::filesystem::remove_all("KSCard.ini");
    dir.write("KSCard.ini", kReadableSection);
    EXPECT_TRUE(load(db, kEntry1Atr));
    EXPECT_EQ(db.CardManagerAID.GetAsHexString(), "0102");
}

INSTANTIATE_TEST_SUITE_P(Table, CardDBUnreadableIni, ::testing::ValuesIn(kHostile),
                         [](const auto& info) { return std::string(info.param.name); });

struct ResolveCase {
    const char* name;
    bool named_exists;
    bool default_exists;
    bool expect_result;
    bool expect_named;  // else "./KSCard.ini"
    const char* expect_aid;
};

class CardDBFileName : public ::testing::TestWithParam<ResolveCase> {};

TEST_P(CardDBFileName, ANamedFileThatDoesNotExistGivesWayToTheDefault) {
    const ResolveCase& c = GetParam();
    const ScratchDir dir;
    std::filesystem::create_directory(dir.path() / "conf");
    const std::string named = (dir.path() / "conf" / "cards.ini").string();
    if (c.named_exists)
        dir.write("conf/cards.ini", kAtr1Section + "CardManagerAID=0A0A\n");
    if (c.default_exists)
        dir.write("KSCard.ini", kAtr1Section + "CardManagerAID=0D0D\n");

    TKSCardGPCardDB db(named);
    EXPECT_EQ(db.ResolveFileName(), c.expect_result);
    EXPECT_EQ(db.FileName, c.expect_named ? named : std::string("./KSCard.ini"));

    TKSCardGPCardDB loader(named);
    load(loader, kEntry1Atr);
    EXPECT_EQ(loader.CardManagerAID.GetAsHexString(), c.expect_aid);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CardDBFileName,
    ::testing::Values(ResolveCase{"NamedExists", true, true, true, true, "0A0A"},
                      ResolveCase{"NamedMissingDefaultExists", false, true, true, false, "0D0D"},
                      ResolveCase{"NeitherExists", false, false, false, false, "A000000018434D00"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CardDBFileName, EmptyNameReadsKSCardIniInTheCurrentDirectory) {
    const ScratchDir dir;
    dir.write("KSCard.ini", kAtr1Section + "CardManagerAID=0E0E\n");
    TKSCardGPCardDB db;
    EXPECT_TRUE(load(db, kEntry1Atr));
    EXPECT_EQ(db.FileName, "./KSCard.ini");
    EXPECT_EQ(db.CardManagerAID.GetAsHexString(), "0E0E");
}

TEST(CardDBReadOnce, EditsAfterTheFirstLoadReachOnlyANewDatabase) {
    const ScratchDir dir;
    dir.write("KSCard.ini", kAtr1Section + "Name=first\nCardManagerAID=0102\n");
    TKSCardGPCardDB db;
    load(db, kEntry1Atr);
    ASSERT_EQ(db.Name, "first");

    dir.write("KSCard.ini", kAtr1Section + "Name=second\nCardManagerAID=0102\n");
    load(db, kEntry1Atr);
    EXPECT_EQ(db.Name, "first");

    TKSCardGPCardDB fresh;
    load(fresh, kEntry1Atr);
    EXPECT_EQ(fresh.Name, "second");
}

TEST(CardDBReadOnce, AFileMissingAtTheFirstLoadStaysUnseen) {
    const ScratchDir dir;
    TKSCardGPCardDB db;
    load(db, kEntry1Atr);
    ASSERT_NE(db.IniFile, nullptr);

    dir.write("KSCard.ini", kAtr1Section + "Name=late\nCardManagerAID=0102\n");
    load(db, kEntry1Atr);
    EXPECT_EQ(snapshot(db), kEntry1Profile);
}

TEST(CardDBSharedParse, ADatabaseGivenAnotherOnesParseSeesTheFileAsItWasParsed) {
    const ScratchDir dir;
    std::filesystem::create_directory(dir.path() / "conf");
    dir.write("conf/cards.ini", kAtr1Section + "Name=first\nCardManagerAID=0102\nMACKey=1\n");
    TKSCardGPCardDB parser("conf/cards.ini");
    ASSERT_TRUE(parser.parse_ini_file());
    dir.write("conf/cards.ini", kAtr1Section + "Name=second\nCardManagerAID=0102\n");

    TKSCardGPCardDB db;
    db.share_ini_file_of(parser);
    EXPECT_EQ(db.IniFile, parser.IniFile);
    // The file it reports a bad value in is the one that was parsed, in the folder it was parsed
    // in.
    std::filesystem::current_path(dir.path() / "conf");
    try {
        load(db, kEntry1Atr);
        FAIL() << "no error raised";
    } catch (const ProfileHexError& e) {
        EXPECT_EQ(e.reason(), dir.with_path("{dir}/conf/cards.ini [" + kEntry1Atr +
                                            "] MACKey: odd number of hex digits"));
    }
    EXPECT_EQ(db.Name, "first");

    std::filesystem::current_path(dir.path());
    TKSCardGPCardDB fresh("conf/cards.ini");
    EXPECT_TRUE(load(fresh, kEntry1Atr));
    EXPECT_EQ(fresh.Name, "second");
}

TEST(CardDBSharedParse, AnUnreadableFileLeavesEachDatabaseToTryItAgain) {
    const ScratchDir dir;
    std::filesystem::create_directory("KSCard.ini");
    TKSCardGPCardDB parser;
    EXPECT_FALSE(parser.parse_ini_file());
    EXPECT_EQ(parser.IniFile, nullptr);

    std::filesystem::remove_all("KSCard.ini");
    dir.write("KSCard.ini", kReadableSection);
    TKSCardGPCardDB db;
    db.share_ini_file_of(parser);
    EXPECT_TRUE(load(db, kEntry1Atr));
    EXPECT_EQ(db.CardManagerAID.GetAsHexString(), "0102");
}

// A refused hex value names where it is, so that the user can find it: the file as resolved, by
// its absolute path, the section it was read from, the key as the profile names it.
struct BadHexCase {
    const char* name;
    std::string ini;
    std::string reason;          // "{dir}" stands for the scratch directory
    const char* file_name = "";  // as given to the database; written below the scratch directory
};

class CardDBIniBadHex : public ::testing::TestWithParam<BadHexCase> {};

TEST_P(CardDBIniBadHex, NamesTheFileSectionAndKeyAndKeepsTheConversionText) {
    const BadHexCase& c = GetParam();
    const ScratchDir dir;
    std::filesystem::create_directory(dir.path() / "conf");
    dir.write(*c.file_name ? "conf/cards.ini" : "KSCard.ini", c.ini);
    TKSCardGPCardDB db(c.file_name);
    try {
        load(db, kEntry1Atr);
        FAIL() << "no error raised";
    } catch (const ProfileHexError& e) {
        EXPECT_STREQ(e.what(), kEvenLength);
        EXPECT_EQ(e.reason(), dir.with_path(c.reason));
        EXPECT_EQ(e.file_name, dir.with_path(c.reason.substr(0, c.reason.find(" ["))));
    }
    EXPECT_FALSE(db.Loaded);
}

const std::string kInAtr1 = "{dir}/KSCard.ini [" + kEntry1Atr + "] ";

INSTANTIATE_TEST_SUITE_P(
    Table, CardDBIniBadHex,
    ::testing::Values(
        BadHexCase{"OddDigits", kAtr1Section + "CardManagerAID=0102\nAUTHKey=123\n",
                   kInAtr1 + "AUTHKey: odd number of hex digits"},
        BadHexCase{"OneDigit", kAtr1Section + "CardManagerAID=A\n",
                   kInAtr1 + "CardManagerAID: odd number of hex digits"},
        BadHexCase{"SeparatorsAreNotDigits", kAtr1Section + "MACKey=01:02:0\n",
                   kInAtr1 + "MACKey: odd number of hex digits"},
        BadHexCase{"NoDigits", kAtr1Section + "DEKKey=<unknown>\n",
                   kInAtr1 + "DEKKey: no hex digits"},
        BadHexCase{"KeyTheReadoutNeverUses", kAtr1Section + "MotherKey=0011223\n",
                   kInAtr1 + "MotherKey: odd number of hex digits"},
        BadHexCase{"SectionAsTheAtrNotAsWritten",
                   "[3b7f96000080318065b08441460412fffe829000]\nauthkey=abc\n",
                   kInAtr1 + "AUTHKey: odd number of hex digits"},
        BadHexCase{"AliasSectionAsTheAliasNamesIt",
                   kAtr1Section + "Alias=Shared Keys\nAUTHKey=1\n[shared keys]\nMACKey=zz\n",
                   "{dir}/KSCard.ini [Shared Keys] MACKey: no hex digits"},
        BadHexCase{"NamedFileWithoutItsDotSlash", kAtr1Section + "AUTHKey=123\n",
                   "{dir}/conf/cards.ini [" + kEntry1Atr + "] AUTHKey: odd number of hex digits",
                   "./conf/cards.ini"},
        BadHexCase{"NamedFileInTheCurrentFolder", kAtr1Section + "AUTHKey=123\n",
                   "{dir}/conf/cards.ini [" + kEntry1Atr + "] AUTHKey: odd number of hex digits",
                   "conf/cards.ini"}),
    [](const auto& info) { return std::string(info.param.name); });

// What a support desk is told about the values of the file, one line per value a load cannot use
// as written: "[SECTION] KEY: PROBLEM", sections in name order.
struct ProblemCase {
    const char* name;
    std::string ini;
    std::vector<std::string> problems;
};

class ProfileProblems : public ::testing::TestWithParam<ProblemCase> {};

TEST_P(ProfileProblems, NameEachValueALoadCannotUseAsWritten) {
    const ProblemCase& c = GetParam();
    std::vector<std::string> found;
    for (const ProfileProblem& p : profile_problems(IniFile::parse(c.ini)))
        found.push_back("[" + p.section + "] " + p.key + ": " + p.problem);
    EXPECT_EQ(found, c.problems);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ProfileProblems,
    ::testing::Values(
        ProblemCase{"WellFormedValues",
                    "[P]\nName=Ghost\nCardManagerAID = A0 00 00:00 03\tFF\nAUTHKey=\n"
                    "KeySetVersion=$1F\nKeyNumber=0x02\nSCPVersion=-1\nKeyDerivationAlgo=zzz\n",
                    {}},
        ProblemCase{"LetterThatIsNoHexDigit",
                    "[P]\nAUTHKey = 4041424344454647GG\n",
                    {"[P] AUTHKey: holds \"G\", which is no hex digit and is skipped"}},
        ProblemCase{"ControlByteEscaped",
                    "[P]\nDEKKey=01\x01"
                    "02\n",
                    {"[P] DEKKey: holds \"\\x01\", which is no hex digit and is skipped"}},
        ProblemCase{"AnOddCountOutweighsLetters",
                    "[P]\nAUTHKey=123G\nMACKey=GHIJ\n",
                    {"[P] AUTHKey: odd number of hex digits", "[P] MACKey: no hex digits"}},
        ProblemCase{"SectionsInNameOrderAsTheirHeadersWriteThem",
                    "[b]\nAUTHKey=01g0203\n[Alias Keys]\nMACKey=1\nKeyNumber=x\n",
                    {"[Alias Keys] MACKey: odd number of hex digits",
                     "[Alias Keys] KeyNumber: not a number",
                     "[b] AUTHKey: holds \"g\", which is no hex digit and is skipped"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CardDBIniError, AFailedLoadKeepsNothingOfThePreviousProfile) {
    const ScratchDir dir;
    dir.write("KSCard.ini", kAtr1Section + "Name=n\nAUTHKey=123\n");
    TKSCardGPCardDB db;
    ASSERT_TRUE(load(db, kEgateAtr));
    EXPECT_THROW(load(db, kEntry1Atr), util::Exception);
    EXPECT_EQ(snapshot(db),
              (Profile{.atr = kEntry1Atr, .name = "n", .kda = "", .sl = 0, .gp = 0, .jc = 0}));
}

TEST(CardDBEnsureLoaded, KeepsTheFirstLoadedProfileWhateverTheAtr) {
    const ScratchDir dir;
    TKSCardGPCardDB db;
    util::TKUDynArraySoftLenContainer entry1, egate;
    entry1.SetAsHexString(kEntry1Atr);
    egate.SetAsHexString(kEgateAtr);

    EXPECT_TRUE(db.EnsureLoadedByATR(entry1));
    EXPECT_TRUE(db.EnsureLoadedByATR(egate));
    EXPECT_TRUE(db.EnsureLoadedByATRHex(kEgateAtr));
    EXPECT_EQ(snapshot(db), kEntry1Profile);

    // A plain load always reloads.
    EXPECT_TRUE(db.LoadByATR(egate));
    EXPECT_EQ(snapshot(db), kEgateProfile);
}

TEST(CardDBEnsureLoaded, LoadsAgainWhileTheProfileHasNoAid) {
    const ScratchDir dir;
    dir.write("KSCard.ini", kAtr1Section + "Name=no aid\n");
    TKSCardGPCardDB db;
    util::TKUDynArraySoftLenContainer entry1, egate;
    entry1.SetAsHexString(kEntry1Atr);
    egate.SetAsHexString(kEgateAtr);

    EXPECT_FALSE(db.EnsureLoadedByATR(entry1));
    EXPECT_EQ(db.Name, "no aid");
    EXPECT_TRUE(db.EnsureLoadedByATR(egate));
    EXPECT_EQ(snapshot(db), kEgateProfile);
}

}  // namespace
}  // namespace qel::gp
