// The card profile database reading a KSCard.ini written from the input, looked up by an ATR also
// taken from the input. Checked against what the documented rules make of the same file: the
// built-in profile when the file cannot be read or has no entries for the ATR, else every field
// from the ATR's section (or the one its Alias names), a refused hex value reported with its file,
// section, key and fault, and nothing but the system's exceptions on the way.

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

#include "gp/IniFile.h"
#include "gp/KSCardGPCardDB.h"
#include "tests/fuzz/fuzz_support.h"
#include "util/KUDynArrays.h"

namespace {

using namespace qel;
using namespace qel::fuzz;
using gp::TKSCardGPCardDB;

std::string g_scratch;
// Where the run started: the fuzzer reads and writes its corpus by paths relative to it.
int g_start_dir = -1;

// The database's default name is ./KSCard.ini: the scratch directory is the current one while an
// input runs, and only then.
class InScratchDir {
public:
    InScratchDir() {
        if (::chdir(g_scratch.c_str()) != 0)
            std::abort();
    }
    ~InScratchDir() {
        if (::fchdir(g_start_dir) != 0)
            std::abort();
    }
    InScratchDir(const InScratchDir&) = delete;
    InScratchDir& operator=(const InScratchDir&) = delete;
};

struct Snapshot {
    bool loaded;
    std::string atr, name, aid, auth, mac, dek, kda, mother;
    int ksv, kn, scpv, scpo, sl, gp, jc, vop;
    bool operator==(const Snapshot&) const = default;
};

Snapshot snapshot(const gp::TKSCardGPCardDBCore& db) {
    return {db.Loaded,
            db.ATR.GetAsHexString(),
            db.Name,
            db.CardManagerAID.GetAsHexString(),
            db.AUTHKey.GetAsHexString(),
            db.MACKey.GetAsHexString(),
            db.DEKKey.GetAsHexString(),
            db.KeyDerivationAlgo,
            db.MotherKey.GetAsHexString(),
            db.KeySetVersion,
            db.KeyNumber,
            db.SCPVersion,
            db.SCPOption,
            db.SecurityLevel,
            db.GPVersion,
            db.JCVersion,
            db.VisaOPVersion};
}

Snapshot builtin_profile(const std::string& atr_hex) {
    TKSCardGPCardDB db("");
    db.LoadFromBuiltIns(atr_hex);
    return snapshot(db);
}

// A value the byte conversion refuses: not empty, and no or an odd number of hex digits.
bool refused_hex(const std::string& value) {
    const std::size_t digits = canonical_hex(value).size();
    return !value.empty() && (digits == 0 || digits % 2 != 0);
}

struct Expected {
    Snapshot profile{};
    // Set when the load must fail on a hex value of the file.
    std::optional<gp::ProfileHexError> hex_failure;
    bool atr_failure = false;  // the ATR text itself is no hex
};

Expected expected_load(const std::optional<gp::IniFile>& ini, const std::string& atr_hex,
                       const std::string& file_name) {
    Expected e;
    if (!ini || !ini->section_has_entries(atr_hex)) {
        e.profile = builtin_profile(atr_hex);
        return e;
    }
    if (refused_hex(atr_hex)) {
        e.atr_failure = true;
        return e;
    }
    const std::string key = canonical_hex(atr_hex);
    const std::string section = ini->read_string(key, "Alias", key);
    e.profile = Snapshot{
        false, key, ini->read_string(section, "Name", ""), "", "", "", "", "", "", 0, 0, 0, 0, 0, 0,
        0,     0};
    std::string* fields[] = {&e.profile.aid, &e.profile.auth, &e.profile.mac, &e.profile.dek,
                             &e.profile.mother};
    const char* names[] = {"CardManagerAID", "AUTHKey", "MACKey", "DEKKey", "MotherKey"};
    for (int i = 0; i < 5; ++i) {
        if (i == 4)
            e.profile.kda = ini->read_string(section, "KeyDerivationAlgo", "none");
        const std::string value = ini->read_string(section, names[i], "");
        if (refused_hex(value)) {
            e.hex_failure.emplace(
                util::kEvenLengthError, file_name, section, names[i],
                canonical_hex(value).empty() ? gp::kHexNoDigits : gp::kHexOddDigits);
            return e;
        }
        *fields[i] = canonical_hex(value);
    }
    const auto byte = [&](const char* name, int fallback) {
        return ini->read_integer(section, name, fallback) & 0xFF;
    };
    e.profile.ksv = byte("KeySetVersion", 0);
    e.profile.kn = byte("KeyNumber", 0);
    e.profile.scpv = byte("SCPVersion", 0);
    e.profile.scpo = byte("SCPOption", 0);
    e.profile.sl = byte("SecurityLevel", 3);
    e.profile.gp = ini->read_integer(section, "GPVersion", 201);
    e.profile.jc = ini->read_integer(section, "JCVersion", 211);
    e.profile.vop = ini->read_integer(section, "VisaOPVersion", 0);
    e.profile.loaded = !e.profile.aid.empty();
    return e;
}

void check_load(TKSCardGPCardDB& db, const std::string& atr_hex,
                const std::optional<gp::IniFile>& ini) {
    std::optional<util::Exception> failure;
    const bool hex_typed_failure_seen = [&] {
        bool typed = false;
        guarded(
            "TKSCardGPCardDB::LoadByATRHex", [&] { db.LoadByATRHex(atr_hex); },
            [&](const util::Exception& e) {
                failure.emplace(e.what());
                if (const auto* h = dynamic_cast<const gp::ProfileHexError*>(&e)) {
                    typed = true;
                    // The reason names the file as written, less a leading "./".
                    const std::string file =
                        h->file_name.rfind("./", 0) == 0 ? h->file_name.substr(2) : h->file_name;
                    QEL_FUZZ_CHECK(h->reason() ==
                                   file + " [" + h->section + "] " + h->key + ": " + h->fault);
                    const Expected e = expected_load(ini, atr_hex, db.FileName);
                    QEL_FUZZ_CHECK(e.hex_failure.has_value());
                    QEL_FUZZ_CHECK(h->section == e.hex_failure->section);
                    QEL_FUZZ_CHECK(h->key == e.hex_failure->key);
                    QEL_FUZZ_CHECK(h->fault == e.hex_failure->fault);
                    // The file by its absolute path: the scratch folder, the current one,
                    // joined with the name the database resolved.
                    const std::string& name = e.hex_failure->file_name;
                    QEL_FUZZ_CHECK(
                        h->file_name ==
                        (name.rfind('/', 0) == 0
                             ? name
                             : g_scratch + "/" + name.substr(name.rfind("./", 0) == 0 ? 2 : 0)));
                }
            });
        return typed;
    }();

    const Expected e = expected_load(ini, atr_hex, db.FileName);
    if (e.atr_failure) {
        QEL_FUZZ_CHECK(failure && !hex_typed_failure_seen);
        QEL_FUZZ_CHECK(failure->message() == util::kEvenLengthError);
        QEL_FUZZ_CHECK(!db.Loaded);
        return;
    }
    if (e.hex_failure) {
        QEL_FUZZ_CHECK(failure && hex_typed_failure_seen);
        QEL_FUZZ_CHECK(failure->message() == util::kEvenLengthError);
        QEL_FUZZ_CHECK(!db.Loaded);
        return;
    }
    QEL_FUZZ_CHECK_MSG(!failure, failure ? failure->message() : "");
    QEL_FUZZ_CHECK(snapshot(db) == e.profile);
    QEL_FUZZ_CHECK(db.Loaded == !db.CardManagerAID.GetArray().empty());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/qel_fuzz_carddb_XXXXXX";
    g_start_dir = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (::mkdtemp(pattern) == nullptr || g_start_dir < 0)
        std::abort();
    g_scratch = pattern;
    std::atexit([] {
        ::unlink((g_scratch + "/KSCard.ini").c_str());
        ::rmdir(g_scratch.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const InScratchDir in_scratch;
    FuzzedDataProvider in(data, size);
    const int naming = in.ConsumeIntegralInRange(0, 4);
    const bool atr_as_bytes = in.ConsumeBool();
    const util::ByteArray atr_bytes = consume_bytes(in, 40);
    const std::string atr_hex = atr_as_bytes ? to_hex(atr_bytes) : in.ConsumeRandomLengthString(80);
    const std::string text = in.ConsumeRemainingBytesAsString();

    const std::string path = g_scratch + "/KSCard.ini";
    std::string file_name;
    std::optional<gp::IniFile> ini;
    if (naming == 4) {
        // No file at all: an empty INI, the built-in table answers.
        ::unlink(path.c_str());
        ini.emplace();
    } else {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.close();
        guarded("IniFile::parse", [&] { ini = gp::IniFile::parse(text); });
        // The file by its full name, the default name, a missing name and a directory's name:
        // the last two fall back to the default.
        const std::string names[] = {path, "", g_scratch + "/absent.ini", g_scratch};
        file_name = names[naming];
    }

    TKSCardGPCardDB db(file_name);
    check_load(db, atr_hex, ini);
    // The file is parsed once: a second load answers alike.
    check_load(db, atr_hex, ini);

    // By the ATR's bytes: always the canonical hex.
    TKSCardGPCardDB by_bytes(file_name);
    util::TKUDynArraySoftLenContainer atr;
    atr.SetAsArray(atr_bytes);
    std::optional<Snapshot> first;
    guarded("TKSCardGPCardDB::LoadByATR", [&] {
        by_bytes.LoadByATR(atr);
        first = snapshot(by_bytes);
    });
    TKSCardGPCardDB by_hex(file_name);
    std::optional<Snapshot> second;
    guarded("TKSCardGPCardDB::LoadByATRHex", [&] {
        by_hex.LoadByATRHex(to_hex(atr_bytes));
        second = snapshot(by_hex);
    });
    QEL_FUZZ_CHECK(first == second);
    return 0;
}
