#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>

#include "log/event_log.h"
#include "log/log_place.h"
#include "tests/log/test_support.h"

namespace qel::log {
namespace {

namespace fs = std::filesystem;
using test::read_all;
using test::write_all;

// "{tmp}" stands for the test's own folder, "{installed}" for the folder the programs of this
// build are installed to.
std::string expand(const std::string& text, const fs::path& tmp) {
    std::string out = text;
    for (const auto& [token, value] :
         {std::pair<std::string, std::string>{"{tmp}", tmp.string()},
          std::pair<std::string, std::string>{"{installed}", installed_program_folder()}}) {
        for (std::size_t at = out.find(token); at != std::string::npos; at = out.find(token)) {
            out.replace(at, token.size(), value);
        }
    }
    return out;
}

std::optional<std::string> variable(const char* value, const fs::path& tmp) {
    if (value == nullptr) {
        return std::nullopt;
    }
    return expand(value, tmp);
}

unsigned mode_of(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777u : 0u;
}

uid_t owner_of(const fs::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_uid : ::geteuid();
}

// The user whose home the tests stand for when they run as root: nobody.
constexpr uid_t kOtherUser = 65534;

// Gives the folders under `tmp` to kOtherUser, and the links in them; false when this process
// may not.
bool give_to_other_user(const fs::path& tmp, std::initializer_list<const char*> names) {
    if (::geteuid() != 0) {
        return false;
    }
    for (const char* name : names) {
        if (::lchown((tmp / name).c_str(), kOtherUser, kOtherUser) != 0) {
            return false;
        }
    }
    return true;
}

struct PlaceCase {
    const char* name;
    const char* program;
    const char* xdg_state_home;  // nullptr: unset
    const char* home;            // nullptr: unset
    const char* file;            // empty: no place
    const char* state_folder;
    const char* problem;
    const char* state_directory = nullptr;  // STATE_DIRECTORY; nullptr: unset
};

// {tmp}/bin may be written; {tmp}/gone does not exist; {tmp}/to-installed links to the
// installed programs' folder.
class LogPlaces : public test::TempDirTest, public ::testing::WithParamInterface<PlaceCase> {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        fs::create_directory(dir / "bin");
        fs::create_directory_symlink(installed_program_folder(), dir / "to-installed");
        // As systemd makes a service's state directory under DynamicUser=.
        fs::create_directories(dir / "lib/private/qel-sn-reader");
        fs::create_directory_symlink("private/qel-sn-reader", dir / "lib/qel-sn-reader");
    }
};

TEST_P(LogPlaces, BesideAProgramThatMayWriteThereElseInTheUsersStateFolder) {
    const PlaceCase& c = GetParam();
    const LogEnvironment environment{variable(c.xdg_state_home, dir), variable(c.home, dir),
                                     variable(c.state_directory, dir)};
    const LogPlace place = log_place_for(expand(c.program, dir), environment);
    EXPECT_EQ(place.file, expand(c.file, dir));
    EXPECT_EQ(place.state_folder, expand(c.state_folder, dir));
    EXPECT_EQ(place.problem, c.problem);
    // Deciding makes nothing.
    EXPECT_FALSE(fs::exists(dir / "state"));
    EXPECT_FALSE(fs::exists(dir / "home"));
}

constexpr const char* kNoFolder = "neither XDG_STATE_HOME nor HOME is an absolute path";

INSTANTIATE_TEST_SUITE_P(
    Cases, LogPlaces,
    ::testing::Values(
        PlaceCase{"WritableFolder", "{tmp}/bin/qel_sn", "{tmp}/state", "{tmp}/home",
                  "{tmp}/bin/qel_sn.log", "", ""},
        PlaceCase{"InstalledWithXdgStateHome", "{installed}/qel_sn", "{tmp}/state", "{tmp}/home",
                  "{tmp}/state/qel-sn-reader/qel_sn.log", "{tmp}/state/qel-sn-reader", ""},
        PlaceCase{"InstalledThroughALink", "{tmp}/to-installed/qel_sn_reader", "{tmp}/state",
                  nullptr, "{tmp}/state/qel-sn-reader/qel_sn_reader.log",
                  "{tmp}/state/qel-sn-reader", ""},
        PlaceCase{"FolderThatIsGone", "{tmp}/gone/qel_sn", "{tmp}/state", nullptr,
                  "{tmp}/state/qel-sn-reader/qel_sn.log", "{tmp}/state/qel-sn-reader", ""},
        PlaceCase{"XdgStateHomeUnset", "{installed}/qel_sn_reader", nullptr, "{tmp}/home",
                  "{tmp}/home/.local/state/qel-sn-reader/qel_sn_reader.log",
                  "{tmp}/home/.local/state/qel-sn-reader", ""},
        PlaceCase{"XdgStateHomeEmpty", "{installed}/qel_sn", "", "{tmp}/home/",
                  "{tmp}/home/.local/state/qel-sn-reader/qel_sn.log",
                  "{tmp}/home/.local/state/qel-sn-reader", ""},
        PlaceCase{"XdgStateHomeRelativeIsIgnored", "{installed}/qel_sn", "state", "{tmp}/home",
                  "{tmp}/home/.local/state/qel-sn-reader/qel_sn.log",
                  "{tmp}/home/.local/state/qel-sn-reader", ""},
        PlaceCase{"HomeUnset", "{installed}/qel_sn", nullptr, nullptr, "", "", kNoFolder},
        PlaceCase{"HomeRelativeAndXdgStateHomeRelative", "{installed}/qel_sn", "state", "home", "",
                  "", kNoFolder},
        PlaceCase{"ProgramPathUnknown", "", "{tmp}/state", "{tmp}/home", "", "",
                  "the program's path is unknown"},
        PlaceCase{"ServiceStateDirectoryOverAll", "{tmp}/bin/qel_sn", "{tmp}/state", "{tmp}/home",
                  "{tmp}/lib/private/qel-sn-reader/qel_sn.log", "{tmp}/lib/private/qel-sn-reader",
                  "", "{tmp}/lib/qel-sn-reader:{tmp}/other"},
        PlaceCase{"ServiceStateDirectoryRelativeIsIgnored", "{installed}/qel_sn", "{tmp}/state",
                  nullptr, "{tmp}/state/qel-sn-reader/qel_sn.log", "{tmp}/state/qel-sn-reader", "",
                  "lib/qel-sn-reader"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LogPlaces, FolderWithoutWriteRightsSendsTheLogToTheStateFolder) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root may write into any folder; the installed folder's case stands in";
    }
    fs::create_directory(dir / "read-only");
    fs::permissions(dir / "read-only", fs::perms::owner_read | fs::perms::owner_exec);
    const LogPlace place = log_place_for((dir / "read-only/qel_sn").string(),
                                         {std::nullopt, (dir / "home").string(), std::nullopt});
    fs::permissions(dir / "read-only", fs::perms::owner_all);
    EXPECT_EQ(place.file, (dir / "home/.local/state/qel-sn-reader/qel_sn.log").string());
}

struct OpenCase {
    const char* name;
    const char* in_the_way;  // a regular file put there first; empty: none
    const char* problem;     // file_problem(); empty: the file is written
    // Prepares the state folder (and {tmp}/elsewhere) another way; false: it cannot be here.
    bool (*arrange)(const fs::path& state_folder, const fs::path& tmp) = nullptr;
};

// A log given the place {tmp}/home/.local/state/qel-sn-reader/qel_sn.log, with {tmp}/home there.
class LogInStateFolder : public test::TempDirTest, public ::testing::WithParamInterface<OpenCase> {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        fs::create_directory(dir / "home");
        place.state_folder = (dir / "home/.local/state/qel-sn-reader").string();
        place.file = place.state_folder + "/qel_sn.log";
    }
    LogPlace place;
};

TEST_P(LogInStateFolder, MakesTheFoldersOrSaysWhyThereIsNoFile) {
    const OpenCase& c = GetParam();
    if (*c.in_the_way != '\0') {
        const fs::path in_the_way = expand(c.in_the_way, dir);
        fs::create_directories(in_the_way.parent_path());
        write_all(in_the_way, "not a folder");
    }
    if (c.arrange != nullptr && !c.arrange(place.state_folder, dir)) {
        GTEST_SKIP() << "needs root to give a folder to another user";
    }
    {
        t_event_log log(place);
        log.log("a line", false);
        EXPECT_EQ(log.file_problem(), expand(c.problem, dir));
        EXPECT_EQ(log.log_file() != nullptr && log.log_file()->is_open(), *c.problem == '\0');
    }
    if (*c.problem != '\0') {
        EXPECT_FALSE(fs::exists(fs::symlink_status(place.file)));
        // Nothing was written through a link either.
        EXPECT_TRUE(!fs::exists(dir / "elsewhere") || fs::is_empty(dir / "elsewhere"));
        // Nor made in another user's folder: what lies there is theirs.
        for (const auto& entry : fs::recursive_directory_iterator(dir)) {
            const uid_t holder = owner_of(entry.path().parent_path());
            if (holder != ::geteuid()) {
                EXPECT_EQ(owner_of(entry.path()), holder) << entry.path();
            }
        }
        return;
    }
    const std::string text = read_all(place.file);
    EXPECT_EQ(text.substr(0, 5), "=== [");
    EXPECT_EQ(text.substr(text.find("] ===\r\n") + 7), "a line\r\n");
    // Every folder it made is the user's alone; the home it found is left as it was.
    for (const char* made :
         {"home/.local", "home/.local/state", "home/.local/state/qel-sn-reader"}) {
        EXPECT_EQ(mode_of(dir / made), 0700u) << made;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LogInStateFolder,
    ::testing::Values(
        OpenCase{"MissingFolders", "", ""},
        OpenCase{"FileInPlaceOfAFolderAbove", "{tmp}/home/.local",
                 "{tmp}/home/.local/state/qel-sn-reader/qel_sn.log (cannot create "
                 "{tmp}/home/.local/state: Not a directory)"},
        OpenCase{"FileInPlaceOfTheStateFolder", "{tmp}/home/.local/state/qel-sn-reader",
                 "{tmp}/home/.local/state/qel-sn-reader/qel_sn.log "
                 "({tmp}/home/.local/state/qel-sn-reader is not a folder)"},
        // Folders a program run by another user (root, through sudo) must not write into: their
        // owner could plant a link at the log's name.
        OpenCase{"StateFolderOthersMayWriteInto", "",
                 "{tmp}/home/.local/state/qel-sn-reader/qel_sn.log "
                 "({tmp}/home/.local/state/qel-sn-reader may be written by other "
                 "users)",
                 [](const fs::path& folder, const fs::path&) {
                     fs::create_directories(folder);
                     fs::permissions(folder, fs::perms::all);
                     return true;
                 }},
        OpenCase{"StateFolderIsALink", "",
                 "{tmp}/home/.local/state/qel-sn-reader/qel_sn.log "
                 "({tmp}/home/.local/state/qel-sn-reader is not a folder)",
                 [](const fs::path& folder, const fs::path& tmp) {
                     fs::create_directories(folder.parent_path());
                     fs::create_directory(tmp / "elsewhere");
                     fs::create_directory_symlink(tmp / "elsewhere", folder);
                     return true;
                 }},
        // A program run through sudo with the user's XDG_STATE_HOME makes no folder of its own
        // in theirs.
        OpenCase{"StateFolderMissingInAnotherUsersHome", "",
                 "{tmp}/home/.local/state/qel-sn-reader/qel_sn.log "
                 "({tmp}/home/.local/state belongs to another user)",
                 [](const fs::path& folder, const fs::path& tmp) {
                     fs::create_directories(folder.parent_path());
                     return give_to_other_user(tmp, {"home", "home/.local", "home/.local/state"});
                 }},
        OpenCase{
            "FoldersMissingInAnotherUsersHome", "",
            "{tmp}/home/.local/state/qel-sn-reader/qel_sn.log "
            "({tmp}/home belongs to another user)",
            [](const fs::path&, const fs::path& tmp) { return give_to_other_user(tmp, {"home"}); }},
        // A link on the way is followed only where no one but the running user (or root) could
        // have put it.
        OpenCase{"LinkOnTheWayInAnotherUsersHome", "",
                 "{tmp}/home/.local/state/qel-sn-reader/qel_sn.log "
                 "({tmp}/home belongs to another user)",
                 [](const fs::path&, const fs::path& tmp) {
                     fs::create_directory(tmp / "elsewhere");
                     fs::create_directory_symlink(tmp / "elsewhere", tmp / "home/.local");
                     return give_to_other_user(tmp, {"home", "home/.local"});
                 }},
        OpenCase{"LinkOnTheWayInAFolderOthersMayWriteInto", "",
                 "{tmp}/home/.local/state/qel-sn-reader/qel_sn.log "
                 "({tmp}/home/.local may be written by other users)",
                 [](const fs::path&, const fs::path& tmp) {
                     fs::create_directories(tmp / "home/.local");
                     fs::permissions(tmp / "home/.local", fs::perms::all);
                     fs::create_directory(tmp / "elsewhere");
                     fs::create_directory_symlink(tmp / "elsewhere", tmp / "home/.local/state");
                     return true;
                 }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LogInStateFolder, ExistingFolderKeepsItsModeAndItsFileIsAppended) {
    fs::create_directories(place.state_folder);
    fs::permissions(place.state_folder, fs::perms::owner_all | fs::perms::group_read |
                                            fs::perms::group_exec | fs::perms::others_read |
                                            fs::perms::others_exec);
    write_all(place.file, "earlier\r\n");
    { t_event_log log(place); }
    EXPECT_EQ(mode_of(place.state_folder), 0755u);
    EXPECT_EQ(read_all(place.file).substr(0, 18), "earlier\r\n\r\n\r\n=== [");
}

TEST_F(LogInStateFolder, SecondWriterGetsNoFileThere) {
    const t_event_log first(place);
    const t_event_log second(place);
    EXPECT_EQ(first.file_problem(), "");
    EXPECT_EQ(second.file_problem(), place.file + " (in use by another program)");
}

TEST(LogWithoutPlace, SaysWhyAndStillFansTheLinesOut) {
    std::string seen;
    t_event_log log(LogPlace{"", "", "the program's path is unknown"});
    log.on_log_method = [&](const std::string& text) { seen += text; };
    log.log("a", false);
    EXPECT_EQ(log.log_file(), nullptr);
    EXPECT_EQ(log.file_problem(), "no place for it (the program's path is unknown)");
    EXPECT_EQ(seen, "a");
}

TEST(LogWithoutPlace, LogAskedForNoFileHasNoProblem) {
    EXPECT_EQ(t_event_log("").file_problem(), "");
}

}  // namespace
}  // namespace qel::log
