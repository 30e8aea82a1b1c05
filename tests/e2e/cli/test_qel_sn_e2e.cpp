// qel_sn run as a script runs it, through pcsc-lite, the sandbox's pcscd, vpcd and the virtual
// dongle: its lines, its exit status, its hint, its JSON and its log file; and as a watch that
// reads each dongle put in, until it is told to end; and what becomes of it when its output, its
// log's place or its dongle fails it.

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/e2e/support/child_process.h"
#include "tests/e2e/support/e2e_test.h"
#include "tests/e2e/support/exclusive_holder.h"
#include "tests/e2e/support/pipe.h"
#include "tests/e2e/support/sandbox_daemon.h"

namespace qel::e2e {
namespace {

using Options = std::vector<std::string>;

// The window's lines of a readout of the default dongle, as its own tests state them.
const std::string kDefaultReadout =
    "Serial No (S/N): 0A1B2C3D\r\nFirmware version: 010A\r\nError Code: 0x2A\r\n";
const std::string kRead = "Searching...\r\n" + kDefaultReadout + "Finished\r\n";
const std::string kNotFound =
    "Searching...\r\nDongle can't be found: Card with specified AID is not found\r\nFinished\r\n";
const std::string kRefused =
    "Searching...\r\nSerial No (S/N): 0A1B2C3D\r\nDongle can't be read: Send + Receive error. "
    "ISO7816 error 0x6A82 (Wrong parameter(s) P1-P2. File not found)\r\n";
const Options kRefuseFirmware{"--sw", "401062B201FF=6A82"};

std::string with_lf(std::string text) {
    for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;)
        text.erase(at, 1);
    return text;
}

// An unlinked temporary file for a child's standard output.
class OutputFile {
public:
    OutputFile() {
        char name[] = "/tmp/qel-sn-out.XXXXXX";
        m_fd = ::mkostemp(name, O_CLOEXEC);
        if (m_fd < 0)
            throw std::runtime_error("cannot create an output file");
        ::unlink(name);
    }
    ~OutputFile() { ::close(m_fd); }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    int fd() const { return m_fd; }
    // Everything written so far; leaves the file at its start, for a reader of it.
    std::string text() const {
        std::string text;
        char buffer[4096];
        ::lseek(m_fd, 0, SEEK_SET);
        for (ssize_t n; (n = ::read(m_fd, buffer, sizeof buffer)) > 0;)
            text.append(buffer, static_cast<std::size_t>(n));
        ::lseek(m_fd, 0, SEEK_SET);
        return text;
    }
    // Everything written so far, without moving the offset a writer shares.
    std::string peek() const {
        std::string text;
        char buffer[4096];
        for (ssize_t n;
             (n = ::pread(m_fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0;)
            text.append(buffer, static_cast<std::size_t>(n));
        return text;
    }

private:
    int m_fd = -1;
};

struct ProgramRun {
    std::optional<int> status;
    std::string out;
    std::string err;
};

ProgramRun run_program(const std::string& path, const Options& args, const OutputFile& out,
                       int stdin_fd = -1) {
    ChildProcess child(path, args, out.fd(), stdin_fd);
    ProgramRun run;
    run.status = child.wait_exit(kDefaultTimeout);
    if (!run.status)
        child.stop();
    run.out = out.text();
    run.err = child.log();
    return run;
}

class QelSnE2e : public E2eTest {
protected:
    void SetUp() override {
        E2eTest::SetUp();
        // A copy of its own: the log file lies beside the program, and this test reads it alone.
        char dir[] = "/tmp/qel-sn-e2e.XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        m_dir = dir;
        std::filesystem::copy_file(QEL_SN_PATH, m_dir / "qel_sn");
    }
    void TearDown() override {
        E2eTest::TearDown();
        std::filesystem::remove_all(m_dir);
    }

    std::string program() const { return (m_dir / "qel_sn").string(); }

    ProgramRun run(const Options& args) {
        const OutputFile out;
        return run_program(program(), args, out);
    }

    // The log file without its header line, which must be there and name this copy.
    std::string log_lines() const {
        std::ifstream file(m_dir / "qel_sn.log", std::ios::binary);
        const std::string text{std::istreambuf_iterator<char>(file), {}};
        const std::regex header(R"(^=== \[\d{2}-\d{2}-\d{4} \d{2}:\d{2}:\d{2} (.*)\] ===\r\n)");
        std::smatch m;
        if (!std::regex_search(text, m, header) || m[1].str() != program())
            return "no header line naming " + program() + " in: " + text;
        return m.suffix().str();
    }

    std::filesystem::path m_dir;
};

// --- Lines, statuses and hints -------------------------------------------------------------

struct Case {
    const char* name;
    std::vector<std::pair<int, Options>> cards;  // reader and the virtual card's options
    Options args;
    int status;
    std::string lines;       // as the log file holds them; standard output has LF line ends
    std::string hint;        // a part of standard error; empty for none at all
    bool card_held = false;  // another program holds reader 0's card
    std::string out = "";    // standard output where it is more than the lines
};

class Readouts : public QelSnE2e, public ::testing::WithParamInterface<Case> {};

TEST_P(Readouts, PrintLogAndEndAsTheWindowShowsTheReadout) {
    const Case& c = GetParam();
    for (const auto& [reader, options] : c.cards)
        start_card(options, reader);
    std::unique_ptr<ExclusiveHolderProcess> holder;
    if (c.card_held)
        holder = std::make_unique<ExclusiveHolderProcess>(kReaderNames[0]);

    const ProgramRun result = run(c.args);
    EXPECT_EQ(result.status, c.status) << result.err;
    // The time of a readout is the one field a table cannot state.
    EXPECT_EQ(std::regex_replace(result.out, std::regex(R"("time":"[^"]*")"), R"("time":T)"),
              c.out.empty() ? with_lf(c.lines) : c.out);
    if (c.hint.empty()) {
        EXPECT_EQ(result.err, "");
    } else {
        EXPECT_NE(result.err.find(c.hint), std::string::npos) << result.err;
    }
    // A command line that is not understood reads nothing and logs nothing.
    if (c.status != 64) {
        EXPECT_EQ(log_lines(), c.lines);
    }
}

const std::string kBothReaders = R"("Virtual PCD 00 00", "Virtual PCD 00 01")";

std::string reader_line(int reader) {
    return std::string("Reader: ") + kReaderNames[reader] + "\n";
}

INSTANTIATE_TEST_SUITE_P(
    Cards, Readouts,
    ::testing::Values(
        Case{"DongleT0", {{0, {}}}, {}, 0, kRead, ""},
        Case{"DongleT1", {{0, {"--t1"}}}, {}, 0, kRead, ""},
        Case{"NoDongle",
             {{0, {"--no-applet"}}},
             {},
             1,
             kNotFound,
             "qel_sn: The card in \"Virtual PCD 00 00\" is not a QEL dongle: take it out and put "
             "the dongle in.\n"},
        Case{"RefusedFirmwareCommand", {{0, kRefuseFirmware}}, {}, 2, kRefused, "did not answer"},
        // The status word alone, no value: the window shows the lines as they come, a script
        // must not take an empty serial number or a zero for a readout.
        Case{"EmptySerialNumber",
             {{0, {"--sw", "40106212=9000"}}},
             {},
             2,
             "Searching...\r\nDongle can't be read: the dongle's answer to the serial number "
             "command is empty\r\n",
             "did not answer as expected"},
        Case{"EmptyFirmwareVersion",
             {{0, {"--t1", "--sw", "401062B2=9000"}}},
             {},
             2,
             "Searching...\r\nSerial No (S/N): 0A1B2C3D\r\nDongle can't be read: the dongle's "
             "answer to the firmware version command is empty\r\n",
             "did not answer as expected"},
        Case{"EmptyErrorCode",
             {{0, {"--sw", "40106220=9000"}}},
             {"--json"},
             2,
             "Searching...\r\nSerial No (S/N): 0A1B2C3D\r\nFirmware version: 010A\r\nDongle "
             "can't be read: the dongle's answer to the error code command is empty\r\n",
             "did not answer as expected",
             false,
             "{\"reader\":\"Virtual PCD 00 00\",\"atr\":\"3B759400006202020301\",\"error\":\"the "
             "dongle's answer to the error code command is empty\",\"exit\":2,\"cause\":\"read_"
             "failed\",\"time\":T}\n"},
        Case{"PulledDuringTheReadout",
             {{0, {"--t1", "--pull-after", "2"}}},
             {},
             2,
             "Searching...\r\nSerial No (S/N): 0A1B2C3D\r\nDongle can't be read: Card returned "
             "less than 2 bytes of data, that should not happen!\r\n",
             "removed during the readout"},
        Case{
            "HeldByAnotherProgram",
            {{0, {}}},
            {},
            1,
            "Searching...\r\nDongle can't be found: Card with specified AID is not found\r\nThe "
            "card in reader \"Virtual PCD 00 00\" is in use by another program, or still busy with "
            "a command that did not finish (then unplug it and plug it in again)\r\nFinished\r\n",
            "qel_sn: The card in \"Virtual PCD 00 00\" is in use by another program: close it (on "
            "a "
            "Linux desktop, often GnuPG's smart-card daemon: gpgconf --kill scdaemon)",
            true},
        Case{"BadOption", {}, {"--bogus"}, 64, "", "usage: qel_sn"},
        Case{"WatchWithAll", {}, {"--watch", "--all"}, 64, "", "--watch and --all exclude"},
        Case{"NamedReader",
             {{0, {}}, {1, {"--serial", "11223344"}}},
             {"--reader", "Virtual PCD 00 01"},
             0,
             "Searching...\r\nSerial No (S/N): 11223344\r\nFirmware version: 010A\r\nError Code: "
             "0x2A\r\nFinished\r\n",
             ""},
        Case{"NoDongleInTheNamedReader",
             {{0, {"--no-applet"}}},
             {"--reader", "Virtual PCD 00 00"},
             1,
             kNotFound,
             "qel_sn: The card in \"Virtual PCD 00 00\" is not a QEL dongle: take it out and put "
             "the dongle in.\n"},
        // Every reader empty: naming one is no advice to give.
        Case{"NoCardInTheNamedReader",
             {},
             {"--reader", "Virtual PCD 00 01"},
             1,
             kNotFound,
             "qel_sn: No card in the readers searched: \"Virtual PCD 00 01\". Plug in the "
             "dongle.\n"},
        Case{"AllReadsEachDongle",
             {{0, {}}, {1, {"--t1"}}},
             {"--all"},
             0,
             kRead + kRead,
             "",
             false,
             reader_line(0) + with_lf(kRead) + reader_line(1) + with_lf(kRead)},
        Case{"AllSkipsACardWithoutTheDongle",
             {{0, {"--no-applet"}}, {1, {}}},
             {"--all"},
             0,
             kRead,
             "",
             false,
             reader_line(1) + with_lf(kRead)},
        Case{"AllWithoutAnyDongle", {}, {"--all"}, 1, kNotFound, kBothReaders},
        Case{"AllEndsWithTheWorst",
             {{0, kRefuseFirmware}, {1, {}}},
             {"--all"},
             2,
             kRefused + kRead,
             "did not answer",
             false,
             reader_line(0) + with_lf(kRefused) + reader_line(1) + with_lf(kRead)}),
    [](const auto& info) { return std::string(info.param.name); });

// --- JSON ----------------------------------------------------------------------------------

// Each line through a JSON parser that is not ours, back as the fields a script reads.
constexpr const char* kParseJson =
    "import json, sys\n"
    "for line in sys.stdin:\n"
    "    o = json.loads(line)\n"
    "    print(o.get('reader'), o.get('serial'), o.get('firmware'), o.get('error_code'),\n"
    "          o.get('error'), o.get('exit'), o['time'].endswith('Z'))\n";

TEST_F(QelSnE2e, JsonObjectsParseAndCarryAReadoutsValuesOrItsFailure) {
    start_card({"--t1", "--serial", "11223344", "--firmware", "07", "--error-code", "0100"}, 0);
    start_card(kRefuseFirmware, 1);
    const OutputFile json;
    const ProgramRun readout = run_program(program(), {"--all", "--json"}, json);
    ASSERT_EQ(readout.status, 2) << readout.err;
    EXPECT_EQ(
        log_lines(),
        "Searching...\r\nSerial No (S/N): 11223344\r\nFirmware version: 0007\r\nFinished\r\n" +
            kRefused);

    const OutputFile parsed;
    const ProgramRun python =
        run_program("/usr/bin/python3", {"-c", kParseJson}, parsed, json.fd());
    EXPECT_EQ(python.status, 0) << python.err << readout.out;
    EXPECT_EQ(python.out,
              "Virtual PCD 00 00 11223344 0007 0 None None True\n"
              "Virtual PCD 00 01 None None None Send + Receive error. ISO7816 error 0x6A82 (Wrong "
              "parameter(s) P1-P2. File not found) 2 True\n");
}

// Without pcsc-lite (its library covered in a mount namespace of the child's own) neither a
// readout nor a watch starts: status 1, and the hint says what to install.
TEST_F(QelSnE2e, WithoutThePcscLibraryNothingStartsWithStatusOne) {
    for (const char* watch : {"--json", "--watch"}) {
        const OutputFile out;
        const ProgramRun ran = run_program(
            "/usr/bin/unshare",
            {"-m", "sh", "-c",
             "mount --bind /dev/null \"$(readlink -f /usr/lib/x86_64-linux-gnu/libpcsclite.so.1)\" "
             "&& exec \"$0\" \"$1\"",
             program(), watch},
            out);
        EXPECT_EQ(ran.status, 1) << watch << ": " << ran.err;
        EXPECT_NE(ran.err.find("qel_sn: The PC/SC library libpcsclite.so.1 cannot be loaded"),
                  std::string::npos)
            << ran.err;
    }
}

// --- Diagnosis -----------------------------------------------------------------------------

class Diagnose;

// A situation a support desk meets, and the check of --diagnose that must catch it.
struct DiagnoseCase {
    const char* name;
    std::function<void(Diagnose&, SandboxDaemon&)> arrange;
    const char* check;
    const char* status;   // as the report prints it
    std::string finding;  // a part of the check's line
    std::string fix;      // a part of its "fix: " line
    int exit = 1;         // 0 when no check fails
    Options args = {};    // after --diagnose
};

// A user's station: the card in its reader, a KSCard.ini in the program's folder, another
// program holding the card.
class Station : public QelSnE2e {
public:
    void card(const Options& options = {}) { start_card(options); }
    void hold_card() { m_holder = std::make_unique<ExclusiveHolderProcess>(kReaderNames[0]); }
    void profiles(const std::string& text) { std::ofstream(m_dir / "KSCard.ini") << text; }
    void foreign_log_folder() { ASSERT_EQ(::chown(m_dir.c_str(), 65534, 65534), 0); }

    // The program as a user in its folder runs it: KSCard.ini is read from the current folder.
    ProgramRun diagnose(const Options& args, const OutputFile& out) {
        Options all{"-C", m_dir.string(), program()};
        all.insert(all.end(), args.begin(), args.end());
        return run_program("/usr/bin/env", all, out);
    }

protected:
    std::unique_ptr<ExclusiveHolderProcess> m_holder;
};

class Diagnose : public Station, public ::testing::WithParamInterface<DiagnoseCase> {};

// The report's line of `check`, then the fix line that follows it: "STATUS | FINDING | FIX".
std::string check_lines(const std::string& report, const std::string& check) {
    const std::regex line("(^|\\n)(\\S+) +" + check + " +([^\\n]*)(\\n +fix: ([^\\n]*))?");
    std::smatch m;
    if (!std::regex_search(report, m, line))
        return "no line for " + check;
    return m[2].str() + " | " + m[3].str() + " | " + m[5].str();
}

// "{dir}" in an expected text stands for the folder the programs ran in.
std::string in_folder(std::string text, const std::filesystem::path& dir) {
    for (std::size_t at; (at = text.find("{dir}")) != std::string::npos;)
        text.replace(at, 5, dir.string());
    return text;
}

TEST_P(Diagnose, NamesTheCheckThatCatchesTheFaultWithItsCauseAndItsFix) {
    const DiagnoseCase& c = GetParam();
    SandboxDaemon daemon;
    c.arrange(*this, daemon);
    const OutputFile out;
    Options args{"--diagnose"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ProgramRun report = diagnose(args, out);
    m_holder.reset();
    if (std::string(c.check) == "service" || std::string(c.check) == "readers") {
        daemon.thaw();
        daemon.restart();
    }
    const std::string lines = check_lines(report.out, c.check);
    const auto in_dir = [&](const std::string& text) { return in_folder(text, m_dir); };
    EXPECT_EQ(report.status, c.exit) << report.out << report.err;
    EXPECT_EQ(lines.substr(0, lines.find(' ')), c.status) << report.out;
    EXPECT_NE(lines.find(in_dir(c.finding)), std::string::npos) << report.out;
    EXPECT_NE(lines.find(in_dir(c.fix)), std::string::npos) << report.out;
    // The report leaves the card as it found it: a readout after it reads the dongle.
    if (std::string(c.name) == "AllWell") {
        EXPECT_EQ(report.out.find("\nwarn"), std::string::npos) << report.out;
        EXPECT_EQ(run({}).status, 0);
    }
}

// The dongle, its profile in KSCard.ini holding a hex value with an odd number of digits.
void dongle_with_odd_hex(Station& t, SandboxDaemon&) {
    t.card();
    t.profiles("[3B759400006202020301]\nCardManagerAID=A00000015100000\n");
}

INSTANTIATE_TEST_SUITE_P(
    Situations, Diagnose,
    ::testing::Values(
        DiagnoseCase{"AllWell", [](Diagnose& t, SandboxDaemon&) { t.card(); }, "dongle", "ok",
                     "Dongle 0A1B2C3D read in \"Virtual PCD 00 00\": firmware 010A, error code "
                     "0x2A, ATR 3B759400006202020301",
                     "", 0},
        DiagnoseCase{"NoService", [](Diagnose&, SandboxDaemon& d) { d.stop(); }, "service", "FAIL",
                     "no answer on socket /run/pcscd/pcscd.comm", "systemctl start pcscd.socket"},
        DiagnoseCase{"ServiceWithoutReaders",
                     [](Diagnose&, SandboxDaemon& d) {
                         d.stop();
                         d.start_without_readers();
                     },
                     "readers", "FAIL", "no reader is attached", "lsusb"},
        DiagnoseCase{"ReaderWithoutCard", [](Diagnose&, SandboxDaemon&) {}, "readers", "warn",
                     "\"Virtual PCD 00 00\" (empty)", "Plug in the dongle."},
        DiagnoseCase{
            "CardWithoutTheApplet", [](Diagnose& t, SandboxDaemon&) { t.card({"--no-applet"}); },
            "dongle", "FAIL",
            "is not a QEL dongle (ATR 3B759400006202020301, profile \"e-gate\"); not found: "
            "Card with specified AID is not found",
            "The card in \"Virtual PCD 00 00\" is not a QEL dongle: take it out"},
        DiagnoseCase{"OddHexInTheDonglesProfile", dongle_with_odd_hex, "profiles", "warn",
                     "[3B759400006202020301] CardManagerAID: odd number of hex digits",
                     "correct these values in {dir}/KSCard.ini"},
        // The same profile, as the checks of the card and of the dongle see it.
        DiagnoseCase{"UnusableProfileOfTheCard", dongle_with_odd_hex, "cards", "warn",
                     "of {dir}/KSCard.ini that cannot be used (CardManagerAID: odd number of hex "
                     "digits)",
                     "cannot be read by its profile: {dir}/KSCard.ini [3B759400006202020301] "
                     "CardManagerAID: odd number of hex digits; correct the line or remove the "
                     "file."},
        DiagnoseCase{"UnusableProfileOfTheDongle", dongle_with_odd_hex, "dongle", "FAIL",
                     "has a profile that cannot be used: {dir}/KSCard.ini [3B759400006202020301] "
                     "CardManagerAID: odd number of hex digits; not found",
                     "cannot be read by its profile: {dir}/KSCard.ini"},
        DiagnoseCase{"DongleHeldByAnotherProgram",
                     [](Diagnose& t, SandboxDaemon&) {
                         t.card();
                         t.hold_card();
                     },
                     "dongle", "FAIL",
                     "in use by another program: the card in \"Virtual PCD 00 00\"; not found",
                     "gpgconf --kill scdaemon"},
        DiagnoseCase{"RefusedRead", [](Diagnose& t, SandboxDaemon&) { t.card(kRefuseFirmware); },
                     "dongle", "FAIL", "not read: Send + Receive error. ISO7816 error 0x6A82",
                     "did not answer as expected"},
        DiagnoseCase{"LogFolderOfAnotherUser",
                     [](Diagnose& t, SandboxDaemon&) {
                         t.card();
                         t.foreign_log_folder();
                     },
                     "program", "warn", "belongs to another user", "writable by that user alone",
                     0},
        // 0x9B alone is CSI to a terminal that takes bytes as Latin-1 (CSI J clears the screen).
        DiagnoseCase{"ControlByteInASectionName",
                     [](Diagnose& t, SandboxDaemon&) {
                         t.card();
                         t.profiles("[Evil\x9BJ]\nCardManagerAID=A00000015100000\n");
                     },
                     "profiles", "warn", "[Evil\\x9BJ] CardManagerAID: odd number of hex digits",
                     "correct these values in {dir}/KSCard.ini", 0},
        // Each check has --timeout: the one whose call does not come back fails, naming what
        // did not answer, and ends the report.
        DiagnoseCase{"FrozenService", [](Diagnose&, SandboxDaemon& d) { d.freeze(); }, "service",
                     "FAIL", "no answer from the PC/SC service within 1 s",
                     "sudo systemctl restart pcscd", 1, Options{"--timeout", "1"}},
        DiagnoseCase{"SilentDongle",
                     [](Diagnose& t, SandboxDaemon&) {
                         t.card({"--silent-after", "1", "--silent-for", "3000"});
                     },
                     "dongle", "FAIL", "no answer from the card within 1 s", "unplug the dongle", 1,
                     Options{"--timeout", "1"}},
        // A letter that is no hex digit is skipped: the card is read, but not as its profile
        // says.
        DiagnoseCase{"LetterThatIsNoHexDigitInTheDonglesProfile",
                     [](Diagnose& t, SandboxDaemon&) {
                         t.card();
                         t.profiles(
                             "[3B759400006202020301]\nCardManagerAID=A0000000030000\n"
                             "AUTHKey = 4041424344454647GG\n");
                     },
                     "profiles", "warn",
                     "[3B759400006202020301] AUTHKey: holds \"G\", which is no hex digit and is "
                     "skipped",
                     "letters and other signs that are no hex digits are skipped", 0},
        DiagnoseCase{"NoProfileFile", [](Diagnose& t, SandboxDaemon&) { t.card(); }, "profiles",
                     "ok", "no {dir}/KSCard.ini: the built-in profiles serve", "", 0}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Advice --------------------------------------------------------------------------------

// A situation at a station as the readout advises on it, with and without --json, and as
// --diagnose reports it: one cause, one fix for it, and the cause first in the report.
struct AdviceCase {
    const char* name;
    std::function<void(Station&, SandboxDaemon&)> arrange;
    int status;         // qel_sn's
    std::string hint;   // the first line of standard error; empty for none
    std::string cause;  // the JSON object's "cause"; empty for none
    int report_exit;    // --diagnose's
    const char* check;  // the check that carries the cause: the report's first not ok
    const char* check_status;
    std::string finding;  // a part of the check's line
    std::string fix;      // its "fix: " line, whole; empty: the hint's words
};

class Advice : public Station, public ::testing::WithParamInterface<AdviceCase> {};

// The status and the check of the report's first line that is not ok; empty for none.
std::string first_not_ok(const std::string& report) {
    std::smatch m;
    if (!std::regex_search(report, m, std::regex("(^|\\n)(?!ok )(\\S+) +(\\S+)")))
        return "";
    return m[2].str() + " " + m[3].str();
}

TEST_P(Advice, ReadoutAndDiagnosisGiveOneFixForTheCauseAndTheCauseFirst) {
    const AdviceCase& c = GetParam();
    SandboxDaemon daemon;
    c.arrange(*this, daemon);
    const OutputFile out, json, report;
    const ProgramRun readout = diagnose({}, out);
    const ProgramRun as_json = diagnose({"--json"}, json);
    const ProgramRun diagnosis = diagnose({"--diagnose"}, report);
    m_holder.reset();

    // The advice leads; only the pointer to --diagnose follows it, no second fix.
    const std::string err =
        c.hint.empty() ? ""
                       : in_folder(c.hint, m_dir) +
                             "\nqel_sn: for a report of every step, run: qel_sn --diagnose\n";
    for (const ProgramRun* run : {&readout, &as_json}) {
        EXPECT_EQ(run->status, c.status) << run->err;
        EXPECT_EQ(run->err, err);
    }
    std::smatch cause;
    std::regex_search(as_json.out, cause, std::regex(R"re("cause":"([^"]*)")re"));
    EXPECT_EQ(cause[1].str(), c.cause) << as_json.out;

    EXPECT_EQ(diagnosis.status, c.report_exit) << diagnosis.out << diagnosis.err;
    const std::string status = c.check_status;
    const std::string lines = check_lines(diagnosis.out, c.check);
    EXPECT_TRUE(lines.starts_with(status + " | ")) << diagnosis.out;
    EXPECT_NE(lines.find(in_folder(c.finding, m_dir)), std::string::npos) << diagnosis.out;
    // One cause, one fix: the check that meets it and the dongle's check say the hint's words.
    const std::string fix =
        in_folder(c.fix.empty() && !c.hint.empty() ? c.hint.substr(8) : c.fix, m_dir);
    EXPECT_TRUE(lines.ends_with(" | " + fix)) << diagnosis.out;
    if (c.report_exit != 0) {
        EXPECT_TRUE(check_lines(diagnosis.out, "dongle").ends_with(" | " + fix)) << diagnosis.out;
    }
    EXPECT_EQ(first_not_ok(diagnosis.out), status == "ok" ? "" : status + " " + c.check)
        << diagnosis.out;
}

const std::string kProfilesFix =
    "correct these values in {dir}/KSCard.ini (hex values need an even number of digits, numbers "
    "decimal, or hex after $ or 0x); an odd number of hex digits, or none, keeps its card from "
    "being read, letters and other signs that are no hex digits are skipped, and a bad number is "
    "taken as its default";
const std::string kNotTheDongle =
    "The card in \"Virtual PCD 00 00\" is not a QEL dongle: take it out and put the dongle in.";
const std::string kInUse =
    "The card in \"Virtual PCD 00 00\" is in use by another program: close it (on a Linux "
    "desktop, often GnuPG's smart-card daemon: gpgconf --kill scdaemon) or wait until it lets the "
    "card go, and try again; if no program holds it, unplug the dongle and plug it in again.";

INSTANTIATE_TEST_SUITE_P(
    Situations, Advice,
    ::testing::Values(
        AdviceCase{"AllWell", [](Station& t, SandboxDaemon&) { t.card(); }, 0, "", "", 0, "dongle",
                   "ok", "Dongle 0A1B2C3D read in \"Virtual PCD 00 00\"", ""},
        AdviceCase{"OtherCard", [](Station& t, SandboxDaemon&) { t.card({"--no-applet"}); }, 1,
                   "qel_sn: " + kNotTheDongle, "other_card", 1, "dongle", "FAIL",
                   "is not a QEL dongle", ""},
        AdviceCase{"Held",
                   [](Station& t, SandboxDaemon&) {
                       t.card();
                       t.hold_card();
                   },
                   1, "qel_sn: " + kInUse, "card_in_use", 1, "cards", "warn",
                   "held by another program", ""},
        AdviceCase{"UnusableProfile", dongle_with_odd_hex, 1,
                   "qel_sn: The card in \"Virtual PCD 00 00\" cannot be read by its profile: "
                   "{dir}/KSCard.ini [3B759400006202020301] CardManagerAID: odd number of hex "
                   "digits; correct the line or remove the file.",
                   "profile_unusable", 1, "cards", "warn",
                   "of {dir}/KSCard.ini that cannot be used (CardManagerAID: odd number of hex "
                   "digits)",
                   ""},
        AdviceCase{"AllEmpty", [](Station&, SandboxDaemon&) {}, 1,
                   "qel_sn: No card in the readers searched: \"Virtual PCD 00 00\", \"Virtual PCD "
                   "00 01\". Plug in the dongle.",
                   "no_card", 1, "readers", "warn",
                   "\"Virtual PCD 00 00\" (empty), \"Virtual PCD 00 01\" (empty)", ""},
        // A letter that is no hex digit is skipped: the card is read, the report warns.
        AdviceCase{"HexLetters",
                   [](Station& t, SandboxDaemon&) {
                       t.card();
                       t.profiles(
                           "[3B759400006202020301]\nCardManagerAID=A0000000030000\n"
                           "AUTHKey = 4041424344454647GG\n");
                   },
                   0, "", "", 0, "profiles", "warn",
                   "{dir}/KSCard.ini: [3B759400006202020301] AUTHKey: holds \"G\"", kProfilesFix}),
    [](const auto& info) { return std::string(info.param.name); });

// The JSON form through a parser that is not ours: the status of each check and the dongle.
TEST_F(Diagnose, JsonReportParsesWithEachChecksStatusAndTheDongle) {
    constexpr const char* kStatuses =
        "import json, sys\n"
        "r = json.load(sys.stdin)\n"
        "print(' '.join(c['check'] + '=' + c['status'] for c in r['checks']),\n"
        "      r['dongle'] and r['dongle']['serial'], r['dongle'] and r['dongle']['error_code'])\n";
    SandboxDaemon daemon;
    for (const bool service : {false, true}) {
        if (service)
            card();
        else
            daemon.stop();
        const OutputFile json;
        const ProgramRun report = diagnose({"--diagnose", "--json"}, json);
        if (!service)
            daemon.start();
        EXPECT_EQ(report.status, service ? 0 : 1) << report.err;
        const OutputFile parsed;
        const ProgramRun python =
            run_program("/usr/bin/python3", {"-c", kStatuses}, parsed, json.fd());
        EXPECT_EQ(python.out,
                  service ? "program=ok library=ok service=ok readers=ok cards=ok profiles=ok "
                            "dongle=ok 0A1B2C3D 42\n"
                          : "program=ok library=ok service=fail readers=skipped cards=skipped "
                            "profiles=ok dongle=skipped None None\n")
            << report.out;
    }
}

bool wait_for_text(const std::function<std::string()>& text, const std::string& part);

// A support desk watching a slow dongle sees each check as it is done, not all at the end.
TEST_F(Diagnose, PrintsEachCheckWhenItIsDone) {
    // Every command after the first takes 700 ms: the dongle's check takes seconds.
    start_card({"--silent-after", "1", "--silent-for", "700"});
    const OutputFile out;
    ChildProcess report("/usr/bin/env", {"-C", m_dir.string(), program(), "--diagnose"}, out.fd());
    ASSERT_TRUE(wait_for_text([&] { return out.peek(); }, "\nok      profiles ")) << out.peek();
    const std::string early = out.peek();
    EXPECT_EQ(early.find("dongle   "), std::string::npos) << early;
    EXPECT_EQ(report.wait_exit(kDefaultTimeout), 0) << report.log();
    EXPECT_EQ(check_lines(out.peek(), "dongle"),
              "ok | Dongle 0A1B2C3D read in \"Virtual PCD 00 00\": firmware 010A, error code "
              "0x2A, ATR 3B759400006202020301 | ")
        << out.peek();
}

// --- Watch ---------------------------------------------------------------------------------

// A step of a watch: a card put in or pulled, or the service restarted; then the text that
// must show up (on standard output for a card, on standard error for the service).
struct WatchStep {
    enum Action { Insert, Pull, RestartService } action;
    int reader = 0;
    Options card;
    std::string awaited;
};

struct WatchCase {
    const char* name;
    Options args;
    std::vector<WatchStep> steps;
    std::string lines;  // as the log file holds them; standard output has LF line ends
    std::string error;  // a part of standard error; empty for none at all
};

std::string readout_of(const std::string& serial) {
    return "Searching...\r\nSerial No (S/N): " + serial +
           "\r\nFirmware version: 010A\r\nError Code: 0x2A\r\nFinished\r\n";
}

bool wait_for_text(const std::function<std::string()>& text, const std::string& part) {
    for (const Deadline deadline(kDefaultTimeout); !deadline.passed();
         std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
        if (text().find(part) != std::string::npos)
            return true;
    }
    return false;
}

class Watch : public QelSnE2e, public ::testing::WithParamInterface<WatchCase> {};

TEST_P(Watch, ReadsEachInsertionOnceAndEndsWithStatusZeroOnSigterm) {
    const WatchCase& c = GetParam();
    const OutputFile out;
    ChildProcess watch(program(), c.args, out.fd());
    // Owned here, not by the fixture: a card pulled before the service restarts must not be
    // checked again at the end through the connection of the service that is gone.
    std::unique_ptr<VirtualCard> cards[2];
    for (const WatchStep& step : c.steps) {
        switch (step.action) {
            case WatchStep::Insert:
                cards[step.reader] = std::make_unique<VirtualCard>(step.reader, step.card);
                break;
            case WatchStep::Pull:
                ASSERT_EQ(cards[step.reader]->stop(), 0);
                cards[step.reader].reset();
                break;
            case WatchStep::RestartService:
                SandboxDaemon().restart();
                break;
        }
        if (!step.awaited.empty()) {
            // A readout shows on standard output, news of the watch on standard error.
            const auto where = [&] { return out.peek() + watch.log(); };
            ASSERT_TRUE(wait_for_text(where, with_lf(step.awaited))) << step.awaited << "\nout:\n"
                                                                     << out.peek() << "\nerr:\n"
                                                                     << watch.log();
        }
    }

    const auto asked = std::chrono::steady_clock::now();
    ::kill(watch.pid(), SIGTERM);
    EXPECT_EQ(watch.wait_exit(kDefaultTimeout), 0) << watch.log();
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - asked)
                  .count(),
              1000);
    std::string printed = out.peek();
    // The time of a readout is the one field a table cannot state.
    printed = std::regex_replace(printed, std::regex(R"("time":"[^"]*")"), R"("time":T)");
    EXPECT_EQ(printed, with_lf(c.lines));
    if (c.error.empty()) {
        EXPECT_EQ(watch.log(), "");
    } else {
        EXPECT_NE(watch.log().find(c.error), std::string::npos) << watch.log();
    }
    if (c.args.end() == std::find(c.args.begin(), c.args.end(), "--json")) {
        EXPECT_EQ(log_lines(), c.lines);
    }
}

using Step = WatchStep;
const std::string kWaitingForReader =
    "qel_sn: there is no reader \"Virtual PCD 00 07\"; waiting for it\n";
const std::string kNoApplet = "Dongle can't be found: Card with specified AID is not found";

INSTANTIATE_TEST_SUITE_P(
    Insertions, Watch,
    ::testing::Values(
        WatchCase{"InsertedPulledInsertedWithAnotherSerial",
                  {"--watch"},
                  {{Step::Insert, 0, {"--serial", "11111111"}, readout_of("11111111")},
                   {Step::Pull, 0, {}, ""},
                   {Step::Insert, 0, {"--serial", "22222222"}, readout_of("22222222")}},
                  readout_of("11111111") + readout_of("22222222"),
                  ""},
        WatchCase{"CardWithoutTheDongleThenADongle",
                  {"--watch"},
                  {{Step::Insert, 0, {"--no-applet"}, kNoApplet + "\r\nFinished\r\n"},
                   {Step::Insert, 1, {"--serial", "33333333"}, readout_of("33333333")}},
                  "Searching...\r\n" + kNoApplet + "\r\nFinished\r\n" + readout_of("33333333"),
                  "qel_sn: The card in \"Virtual PCD 00 00\" is not a QEL dongle"},
        WatchCase{"ServiceStoppedAndStartedAgain",
                  {"--watch"},
                  {{Step::Insert, 0, {"--serial", "44444444"}, readout_of("44444444")},
                   {Step::Pull, 0, {}, ""},
                   {Step::RestartService, 0, {}, "qel_sn: the PC/SC service is back\n"},
                   {Step::Insert, 0, {"--serial", "55555555"}, readout_of("55555555")}},
                  readout_of("44444444") + readout_of("55555555"),
                  "qel_sn: the PC/SC service has stopped; waiting for it to come back\n"
                  "qel_sn: the PC/SC service is back\n"},
        WatchCase{"JsonOnlyForTheNamedReader",
                  {"--watch", "--json", "--reader", "Virtual PCD 00 01"},
                  {{Step::Insert, 0, {"--serial", "66666666"}, ""},
                   {Step::Insert, 1, {"--serial", "77777777"}, "\"serial\":\"77777777\""}},
                  R"({"reader":"Virtual PCD 00 01","serial":"77777777","firmware":"010A",)"
                  R"("error_code":42,"atr":"3B759400006202020301","time":T})"
                  "\r\n",
                  ""},
        WatchCase{"NamedReaderThatIsNotAttached",
                  {"--watch", "--reader", "Virtual PCD 00 07"},
                  {{Step::Insert, 0, {}, kWaitingForReader}},
                  "",
                  kWaitingForReader}),
    [](const auto& info) { return std::string(info.param.name); });

// --- The window program's command line -------------------------------------------------------

class WindowProgramE2e : public QelSnE2e {
protected:
    void SetUp() override {
        QelSnE2e::SetUp();
        if (!HasFatalFailure())
            std::filesystem::copy_file(QEL_SN_READER_PATH, m_dir / "qel_sn_reader");
    }
    std::string window_program() const { return (m_dir / "qel_sn_reader").string(); }
};

struct WindowArgsCase {
    const char* name;
    Options args;
    int status;
    std::string out;  // what standard output starts with
    std::string err;  // what standard error holds, in part
    // Started with none of DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM, as over ssh.
    bool without_display = false;
};

class WindowArgs : public WindowProgramE2e, public ::testing::WithParamInterface<WindowArgsCase> {};

TEST_P(WindowArgs, AnswerWithoutOpeningTheWindow) {
    const auto& c = GetParam();
    const OutputFile out;
    // Without the variables a window program finds its display by, as over ssh.
    Options args{
        "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM", window_program()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ProgramRun ran = c.without_display ? run_program("/usr/bin/env", args, out)
                                             : run_program(window_program(), c.args, out);
    ASSERT_TRUE(ran.status.has_value()) << "the window opened";
    EXPECT_EQ(*ran.status, c.status) << ran.err;
    EXPECT_EQ(ran.out.substr(0, c.out.size()), c.out) << ran.out;
    EXPECT_NE(ran.err.find(c.err), std::string::npos) << ran.err;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, WindowArgs,
    ::testing::Values(
        // No display is asked for: the test environment has none.
        WindowArgsCase{"Help", {"--help"}, 0, "usage: qel_sn_reader [--watch]", ""},
        WindowArgsCase{"Version", {"--version"}, 0, "qel_sn_reader 1.1\n", ""},
        WindowArgsCase{"UnknownOptionAfterTheToolkitsOwn",
                       {"-platform", "offscreen", "--wacth"},
                       64,
                       "",
                       "qel_sn_reader: unknown option --wacth\nusage: qel_sn_reader"},
        WindowArgsCase{"WithoutADisplay",
                       {"--watch"},
                       1,
                       "",
                       "qel_sn_reader: no display to open the window on",
                       true},
        WindowArgsCase{"UnknownOptionWithoutADisplay",
                       {"--bogus"},
                       64,
                       "",
                       "qel_sn_reader: unknown option --bogus\nusage: qel_sn_reader",
                       true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WindowProgramE2e, HelpNamesTheLogFileBesideTheProgram) {
    const OutputFile out;
    const ProgramRun ran = run_program(window_program(), {"--help"}, out);
    EXPECT_NE(ran.out.find("\n  " + (m_dir / "qel_sn_reader.log").string() + "\n"),
              std::string::npos)
        << ran.out;
}

// Both watches of a station see each insertion and race for the card: each reads every dongle.
// A slow dongle makes sure the loser finds the card held.
TEST_F(WindowProgramE2e, WatchPressesGetInfoOnEachInsertionBesideAWatchOfQelSn) {
    ChildProcess window(window_program(), {"-platform", "offscreen", "--watch"});
    const OutputFile out;
    ChildProcess cli(program(), {"--watch"}, out.fd());
    const auto logged = [&](const char* name) {
        std::ifstream file(m_dir / name, std::ios::binary);
        const std::string text{std::istreambuf_iterator<char>(file), {}};
        const auto header_end = text.find("] ===\r\n");
        return header_end == std::string::npos ? text : text.substr(header_end + 7);
    };
    std::string expected;
    for (const char* serial : {"11111111", "22222222"}) {
        VirtualCard card(0, {"--serial", serial, "--silent-after", "1", "--silent-for", "150"});
        expected += readout_of(serial);
        for (const char* log : {"qel_sn_reader.log", "qel_sn.log"}) {
            ASSERT_TRUE(wait_for_text([&] { return logged(log); }, expected))
                << log << ":\n"
                << logged(log) << window.log() << cli.log();
        }
    }
    EXPECT_TRUE(window.running()) << window.log();
    window.stop();
    cli.stop();
    EXPECT_EQ(logged("qel_sn_reader.log"), expected);
    EXPECT_EQ(logged("qel_sn.log"), expected);
}

// --- Faults around the readout ---------------------------------------------------------------

// Where the program's standard output goes.
enum class Stdout { File, FullPipe, DevFull, Closed, PipeReaderLeaves };
// What lies where the program's log file goes.
enum class LogSpot { Free, FullDisk, PlantedLink, ForeignFolder };

struct FaultCase {
    const char* name;
    std::optional<Options> card{};  // reader 0's card, if any
    Options args{};
    Stdout out = Stdout::File;
    LogSpot log_spot = LogSpot::Free;
    // Once the log file holds this, the test sends SIGTERM (or closes the pipe's read end) and
    // the program must end within `limit`; empty: it must end by itself within `limit`.
    std::string trigger{};
    std::chrono::milliseconds limit = kDefaultTimeout;
    int status = 0;
    std::string out_end{};   // what a standard output file ends with; CR LF read as LF
    std::string out_part{};  // a part of it, likewise
    std::string err{};       // in standard error exactly once; @DIR@ is the program's folder
    // The log's lines after its header; none: no line is written to the file at the log's name.
    std::optional<std::string> log{};
    // The next readout, before the silent dongle wakes, finds the card the service still holds
    // for the ended program's command.
    bool held_after = false;
};

std::string read_file(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

void write_file(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// A tmpfs of a given size over a folder, for a disk that can be filled; unmounted again before
// the fixture removes the folder.
class Tmpfs {
public:
    Tmpfs(const std::filesystem::path& at, std::uintmax_t size) : m_at(at) {
        const std::string options = "mode=0755,size=" + std::to_string(size);
        if (::mount("qel-e2e-full", at.c_str(), "tmpfs", 0, options.c_str()) != 0)
            throw std::runtime_error("cannot mount a tmpfs: " + std::string(std::strerror(errno)));
    }
    ~Tmpfs() { ::umount2(m_at.c_str(), MNT_DETACH); }
    Tmpfs(const Tmpfs&) = delete;
    Tmpfs& operator=(const Tmpfs&) = delete;

private:
    std::filesystem::path m_at;
};

void fill_disk(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const std::string chunk(4096, 'f');
    while (fd >= 0 && ::write(fd, chunk.data(), chunk.size()) > 0) {
    }
    const int error = errno;
    ::close(fd);
    if (error != ENOSPC)
        throw std::runtime_error("the filler stopped short: " + std::string(std::strerror(error)));
}

// Why another program cannot have the card to itself; empty once the service has let go of
// whatever the ended program held.
std::string refusal_of_exclusive_use(const PcscContext& pcsc) {
    std::string refusal;
    for (const Deadline deadline(kDefaultTimeout); !deadline.passed();
         std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
        try {
            const CardConnection card(pcsc, kReaderNames[0], SCARD_SHARE_EXCLUSIVE);
            return "";
        } catch (const PcscError& e) {
            refusal = e.what();
        }
    }
    return refusal;
}

class Faults : public QelSnE2e, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(Faults, EndInTimeWithTheirStatusAndLeaveTheLogWhole) {
    const FaultCase& c = GetParam();
    const std::filesystem::path log_file = m_dir / "qel_sn.log";
    std::optional<Tmpfs> disk;
    switch (c.log_spot) {
        case LogSpot::Free:
            break;
        case LogSpot::FullDisk:
            // The program's copy must lie beside its log; the old log's last page has 6 bytes
            // left, so a line written into it stops short.
            disk.emplace(m_dir, std::filesystem::file_size(QEL_SN_PATH) + 4 * 4096);
            std::filesystem::copy_file(QEL_SN_PATH, m_dir / "qel_sn");
            write_file(log_file, std::string(4088, '-') + "\r\n");
            fill_disk(m_dir / "filler");
            break;
        case LogSpot::PlantedLink:
            write_file(m_dir / "planted", "not the program's\r\n");
            std::filesystem::permissions(
                m_dir / "planted",
                std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
            std::filesystem::create_symlink(m_dir / "planted", log_file);
            break;
        case LogSpot::ForeignFolder:
            ASSERT_EQ(::chown(m_dir.c_str(), 65534, 65534), 0);
            ASSERT_EQ(::chmod(m_dir.c_str(), 0755), 0);
            break;
    }
    const std::string before = read_file(log_file);
    const bool silent =
        c.card && std::find(c.card->begin(), c.card->end(), "--silent-after") != c.card->end();
    VirtualCard* card = c.card ? &start_card(*c.card) : nullptr;

    const OutputFile file;
    Pipe pipe;
    int out_fd = file.fd();
    if (c.out == Stdout::FullPipe) {
        // Full to the last byte: the program's next write blocks.
        ASSERT_GT(::fcntl(pipe.write_end(), F_SETPIPE_SZ, 4096), 0);
        ::fcntl(pipe.write_end(), F_SETFL, O_NONBLOCK);
        while (::write(pipe.write_end(), "x", 1) == 1) {
        }
        ::fcntl(pipe.write_end(), F_SETFL, 0);
    }
    if (c.out == Stdout::FullPipe || c.out == Stdout::PipeReaderLeaves)
        out_fd = pipe.write_end();
    if (c.out == Stdout::DevFull)
        out_fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (c.out == Stdout::Closed)
        out_fd = ChildProcess::kClosed;

    ChildProcess child(program(), c.args, out_fd);
    pipe.close_write();
    if (c.out == Stdout::DevFull)
        ::close(out_fd);

    if (!c.trigger.empty()) {
        ASSERT_TRUE(wait_for_text([&] { return read_file(log_file); }, c.trigger))
            << read_file(log_file) << child.log();
        if (silent) {
            ASSERT_TRUE(wait_for_text([&] { return card->log(); }, "qel_vcard: card silent"));
        }
        if (c.out == Stdout::PipeReaderLeaves) {
            pipe.close_read();
        } else {
            ::kill(child.pid(), SIGTERM);
        }
    }
    const std::optional<int> status = child.wait_exit(c.limit);
    ASSERT_TRUE(status) << "still running after " << c.limit.count() << " ms\n" << child.log();
    EXPECT_EQ(*status, c.status) << child.log();

    if (!c.out_end.empty()) {
        EXPECT_TRUE(file.text().ends_with(with_lf(c.out_end))) << file.text();
    }
    if (!c.out_part.empty()) {
        EXPECT_NE(file.text().find(with_lf(c.out_part)), std::string::npos) << file.text();
    }
    if (!c.err.empty()) {
        const std::string err = std::regex_replace(c.err, std::regex("@DIR@"), m_dir.string());
        const std::string log = child.log();
        const auto at = log.find(err);
        EXPECT_TRUE(at != std::string::npos && log.find(err, at + 1) == std::string::npos)
            << "not once in standard error: " << err << "\n"
            << log;
    }
    if (c.log) {
        EXPECT_EQ(log_lines(), *c.log);
    } else if (c.log_spot == LogSpot::FullDisk) {
        const std::string after = read_file(log_file);
        EXPECT_TRUE(after.starts_with(before) && after.ends_with("\r\n"))
            << after.substr(after.size() > 80 ? after.size() - 80 : 0);
    } else if (c.log_spot == LogSpot::PlantedLink) {
        EXPECT_TRUE(std::filesystem::is_symlink(log_file));
        EXPECT_EQ(read_file(log_file), before);
    } else {
        EXPECT_FALSE(std::filesystem::exists(log_file)) << read_file(log_file);
    }

    if (c.held_after) {
        const ProgramRun next = run({"--timeout", "1"});
        EXPECT_EQ(next.status, 1) << next.err;
        EXPECT_NE(next.out.find("\" is in use by another program, or still busy with a command "
                                "that did not finish (then unplug it and plug it in again)\n"),
                  std::string::npos)
            << next.out;
    }
    if (card != nullptr) {
        // A dongle gone silent answers at last the command the service still waits on.
        if (silent)
            card->wake();
        EXPECT_EQ(refusal_of_exclusive_use(pcsc()), "") << card->log();
    }
}

using namespace std::chrono_literals;
const Options kSilent{"--silent-after", "1"};
const std::string kNoAnswer = "Dongle can't be read: no answer from the dongle within 1 s\r\n";
const std::string kCannotWrite = "qel_sn: cannot write to standard output: No space left on device";
const std::string kNotWritten = "qel_sn: log file not written: @DIR@/qel_sn.log ";

INSTANTIATE_TEST_SUITE_P(
    Conditions, Faults,
    ::testing::Values(FaultCase{.name = "WatchBlockedOnItsOutputEndsOnSigterm",
                                .card = Options{},
                                .args = {"--watch"},
                                .out = Stdout::FullPipe,
                                .trigger = "Searching...\r\n",
                                .limit = 1s,
                                .log = "Searching...\r\n"},
                      FaultCase{.name = "WatchOnASilentDongleEndsOnSigterm",
                                .card = kSilent,
                                .args = {"--watch", "--timeout", "0"},
                                .trigger = "Searching...\r\n",
                                .limit = 1s,
                                .out_end = "Searching...\r\n",
                                .log = "Searching...\r\n"},
                      FaultCase{.name = "SilentDongleEndsTheReadoutAtItsTimeout",
                                .card = kSilent,
                                .args = {"--timeout", "1"},
                                .limit = 5s,
                                .status = 2,
                                .out_end = kNoAnswer,
                                .log = "Searching...\r\n" + kNoAnswer,
                                .held_after = true},
                      // The readout had connected its dongle: its reader is named.
                      FaultCase{.name = "SilentDongleEndsAJsonReadoutAtItsTimeout",
                                .card = kSilent,
                                .args = {"--json", "--timeout", "1"},
                                .limit = 5s,
                                .status = 2,
                                .out_part = "{\"reader\":\"Virtual PCD 00 00\",\"error\":\"no "
                                            "answer from the dongle within 1 s\",\"exit\":2,",
                                .log = "Searching...\r\n" + kNoAnswer,
                                .held_after = true},
                      FaultCase{
                          .name = "SilentDongleOfAllIsNamedByItsReader",
                          .card = kSilent,
                          .args = {"--all", "--timeout", "1"},
                          .limit = 5s,
                          .status = 2,
                          .out_end = "Reader: Virtual PCD 00 00\r\nSearching...\r\n" + kNoAnswer,
                          .log = "Searching...\r\n" + kNoAnswer,
                          .held_after = true},
                      FaultCase{.name = "SilentDongleEndsTheWatchAtItsTimeout",
                                .card = kSilent,
                                .args = {"--watch", "--timeout", "1"},
                                .limit = 5s,
                                .status = 75,
                                .log = "Searching...\r\n" + kNoAnswer},
                      FaultCase{.name = "ReadoutIntoAFullDevice",
                                .card = Options{},
                                .out = Stdout::DevFull,
                                .status = 74,
                                .err = kCannotWrite,
                                .log = kRead},
                      FaultCase{.name = "HelpIntoAFullDevice",
                                .args = {"--help"},
                                .out = Stdout::DevFull,
                                .status = 74,
                                .err = kCannotWrite},
                      FaultCase{.name = "WatchWhoseReaderLeavesEndsBySigpipe",
                                .args = {"--watch"},
                                .out = Stdout::PipeReaderLeaves,
                                .trigger = "] ===\r\n",
                                .limit = 1s,
                                .status = 128 + SIGPIPE,
                                .log = ""},
                      FaultCase{.name = "LogOnAFullDisk",
                                .card = Options{},
                                .log_spot = LogSpot::FullDisk,
                                .out_end = kRead,
                                .err = kNotWritten + "(No space left on device)"},
                      FaultCase{.name = "LogNameLinkedToAnotherFile",
                                .card = Options{},
                                .log_spot = LogSpot::PlantedLink,
                                .out_end = kRead,
                                .err = kNotWritten + "(not a regular file)"},
                      FaultCase{.name = "FolderOfAnotherUser",
                                .card = Options{},
                                .log_spot = LogSpot::ForeignFolder,
                                .out_end = kRead,
                                .err = "(@DIR@ belongs to another user)"},
                      FaultCase{.name = "JsonWithStdoutClosed",
                                .card = Options{},
                                .args = {"--json"},
                                .out = Stdout::Closed,
                                .log = kRead}),
    [](const auto& info) { return std::string(info.param.name); });

// --- A PC/SC service that hangs ------------------------------------------------------------

// A socket that takes connections and never answers, as a service does that is half started or
// hangs before it reads: the connections wait in its backlog.
class SilentSocket {
public:
    explicit SilentSocket(std::filesystem::path path) : m_path(std::move(path)) {
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, m_path.c_str(), sizeof address.sun_path - 1);
        if (m_fd < 0 ||
            ::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_fd, 64) != 0)
            throw std::runtime_error("cannot make a silent socket");
    }
    ~SilentSocket() {
        ::close(m_fd);
        ::unlink(m_path.c_str());
    }
    SilentSocket(const SilentSocket&) = delete;
    SilentSocket& operator=(const SilentSocket&) = delete;

private:
    std::filesystem::path m_path;
    int m_fd = -1;
};

// The sandbox's daemon stopped by SIGSTOP for as long as this lives.
class FrozenDaemon {
public:
    FrozenDaemon() { m_daemon.freeze(); }
    ~FrozenDaemon() { m_daemon.thaw(); }
    FrozenDaemon(const FrozenDaemon&) = delete;
    FrozenDaemon& operator=(const FrozenDaemon&) = delete;

private:
    SandboxDaemon m_daemon;
};

struct HangCase {
    const char* name;
    // The daemon frozen after the watch has read the dongle in reader 0, or before the program
    // starts; else the program talks to a socket that never answers.
    enum { FrozenAfterARead, FrozenBeforeStart, SilentSocket } hang;
    Options args;
    // Sent once standard error holds `trigger`, or the log file its header when it is empty;
    // none: the program must end by itself. Either way within `limit`.
    int signal = 0;
    std::string trigger{};
    std::chrono::milliseconds limit = std::chrono::seconds(1);
    int status = 0;
    std::string out_part{};  // CR LF read as LF
    std::string err_once{};  // exactly once in standard error
};

class HungService : public QelSnE2e, public ::testing::WithParamInterface<HangCase> {};

TEST_P(HungService, NeitherAStopNorTheTimeoutWaitsOnIt) {
    const HangCase& c = GetParam();
    std::optional<FrozenDaemon> frozen;
    std::optional<SilentSocket> silent;
    Options args{program()};
    if (c.hang == HangCase::SilentSocket) {
        silent.emplace(m_dir / "pcscd.comm");
        args.insert(args.begin(), "PCSCLITE_CSOCK_NAME=" + (m_dir / "pcscd.comm").string());
    }
    args.insert(args.end(), c.args.begin(), c.args.end());
    if (c.hang == HangCase::FrozenAfterARead)
        start_card();
    if (c.hang == HangCase::FrozenBeforeStart)
        frozen.emplace();

    const OutputFile out;
    ChildProcess child("/usr/bin/env", args, out.fd());
    if (c.hang == HangCase::FrozenAfterARead) {
        ASSERT_TRUE(wait_for_text([&] { return out.peek(); }, "Finished\n")) << child.log();
        frozen.emplace();
    }
    auto since = std::chrono::steady_clock::now();
    if (c.signal != 0) {
        const auto told = [&] {
            return c.trigger.empty() ? read_file(m_dir / "qel_sn.log") : child.log();
        };
        ASSERT_TRUE(wait_for_text(told, c.trigger.empty() ? "] ===" : c.trigger)) << child.log();
        since = std::chrono::steady_clock::now();
        ::kill(child.pid(), c.signal);
    }
    const std::optional<int> status = child.wait_exit(kDefaultTimeout);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - since);
    ASSERT_TRUE(status) << "still running\n" << child.log();
    EXPECT_EQ(*status, c.status) << child.log();
    EXPECT_LT(took.count(), c.limit.count()) << child.log();
    if (!c.out_part.empty()) {
        EXPECT_NE(out.text().find(with_lf(c.out_part)), std::string::npos) << out.text();
    }
    if (!c.err_once.empty()) {
        const std::string err = child.log();
        const auto at = err.find(c.err_once);
        EXPECT_TRUE(at != std::string::npos && err.find(c.err_once, at + 1) == std::string::npos)
            << "not once in standard error: " << c.err_once << "\n"
            << err;
    }
}

const std::string kServiceSilentFor1s =
    "Dongle can't be found: no answer from the PC/SC service within 1 s\r\nFinished\r\n";
const std::string kRestartService = "qel_sn: The PC/SC service does not answer: restart it";

INSTANTIATE_TEST_SUITE_P(
    States, HungService,
    ::testing::Values(
        HangCase{.name = "FrozenWhileTheWatchWaitsEndsOnSigterm",
                 .hang = HangCase::FrozenAfterARead,
                 .args = {"--watch"},
                 .signal = SIGTERM,
                 .trigger = "",
                 .status = 0},
        HangCase{.name = "FrozenEndsAReadoutAtItsTimeout",
                 .hang = HangCase::FrozenBeforeStart,
                 .args = {"--timeout", "1"},
                 .limit = std::chrono::seconds(3),
                 .status = 1,
                 .out_part = kServiceSilentFor1s,
                 .err_once = kRestartService},
        HangCase{
            .name = "SilentEndsAReadoutAtItsTimeout",
            .hang = HangCase::SilentSocket,
            .args = {"--json", "--timeout", "1"},
            .limit = std::chrono::seconds(3),
            .status = 1,
            .out_part = "\"error\":\"no answer from the PC/SC service within 1 s\",\"exit\":1,",
            .err_once = kRestartService},
        HangCase{.name = "HalfStartedWatchEndsOnSigterm",
                 .hang = HangCase::SilentSocket,
                 .args = {"--watch"},
                 .signal = SIGTERM,
                 .status = 0},
        HangCase{.name = "SilentServiceIsSaidOnceAndTheWatchEndsOnSigint",
                 .hang = HangCase::SilentSocket,
                 .args = {"--watch", "--timeout", "1"},
                 .signal = SIGINT,
                 .trigger = "does not answer",
                 .status = 0,
                 .err_once = "qel_sn: the PC/SC service does not answer; waiting for it\n"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qel::e2e
