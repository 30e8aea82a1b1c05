#include "cli/diagnosis.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

#include "cli/readout_json.h"

#include "card/KSCardAPIExceptions.h"
#include "card/KSCardAPIReaders.h"
#include "card/PcscFailure.h"
#include "card/PcscOwners.h"
#include "card/ServiceSocketWatch.h"
#include "card/WinSCard.h"
#include "cli/qel_sn.h"
#include "gp/KSCardGPCardDBini.h"
#include "log/event_log.h"
#include "readout/qel_sc_base.h"
#include "readout/readout.h"
#include "readout/version.h"
#include "util/Hex.h"

namespace qel::app {

namespace {

using Status = Check::Status;

constexpr const char* kPcscd = "/usr/sbin/pcscd";

// A reader as PC/SC sees it at the moment of the diagnosis.
struct Reader {
    std::string name;
    bool card = false;
    std::string atr_hex;
};

// What the checks learn for the ones after them.
struct Findings {
    bool library = false;
    card::PcscContext context;
    std::vector<Reader> readers;
    gp::ProfileFileParse profiles;
};

// A check's name is its place in diagnosis_check_names(), which diagnose() gives it.
Check ok(std::string finding) {
    return {{}, Status::Ok, std::move(finding), {}};
}
Check warn(std::string finding, std::string fix) {
    return {{}, Status::Warn, std::move(finding), std::move(fix)};
}
Check fail(std::string finding, std::string fix) {
    return {{}, Status::Fail, std::move(finding), std::move(fix)};
}
Check skipped(std::string why) {
    return {{}, Status::Skipped, std::move(why), {}};
}

std::string quoted(const std::string& text) {
    return "\"" + error_line(text) + "\"";
}

std::string joined(const std::vector<std::string>& parts, const char* between) {
    std::string text;
    for (const std::string& part : parts)
        text += (text.empty() ? "" : between) + part;
    return text;
}

// PC/SC's text for a code within a longer line: the period that ends its sentence would stand in
// the middle.
std::string pcsc_clause(std::uint32_t code) {
    std::string text = card::SCardErrorText(code);
    if (!text.empty() && text.back() == '.')
        text.pop_back();
    return text;
}

Check check_program(const std::string& program, const log::LogPlace& log_place) {
    const std::string found = program_version("qel_sn") + " at " + program + ", log file ";
    // Its line in the log file is the one thing the diagnosis writes, and the test of the place.
    log::t_event_log log(log_place);
    log.log("Diagnosis of this machine (qel_sn --diagnose)", false);
    const std::string problem = log.file_problem();
    if (problem.empty())
        return ok(found + log_place.file);
    return warn(
        found + "not written: " + problem,
        "give the log file's folder to the user running qel_sn, writable by that user "
        "alone, or point XDG_STATE_HOME at a folder of the user's; readouts work without it");
}

// Where the dynamic linker found the library it loaded under `name`.
std::string loaded_from(const char* name) {
    void* handle = dlopen(name, RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr)
        return name;
    link_map* map = nullptr;
    std::string path = name;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr)
        path = map->l_name;
    dlclose(handle);
    return path;
}

Check check_library(Findings& findings) {
    findings.library = card::LoadWinSCard();
    if (!findings.library)
        return fail(std::string(card::kPcscLibraryName) + " cannot be loaded",
                    "sudo apt-get install libpcsclite1 pcscd");
    std::size_t bound = 0;
    std::vector<std::string> missing;
    for (const card::WinSCardEntryBase* entry : card::winscard_entries()) {
        if (entry->is_bound())
            ++bound;
        else if (entry->pcsc_lite_has())
            missing.push_back(entry->name());
    }
    const std::string found = std::string(card::kPcscLibraryName) + " from " +
                              loaded_from(card::kPcscLibraryName) + ", " + std::to_string(bound) +
                              " entries bound";
    if (missing.empty())
        return ok(found + " (all that pcsc-lite has)");
    return fail(found + "; missing: " + joined(missing, ", "),
                "the library is not pcsc-lite's or is damaged: sudo apt-get install --reinstall "
                "libpcsclite1");
}

Check check_service(Findings& findings) {
    if (!findings.library)
        return skipped("no PC/SC library to ask it");
    const card::ServiceSocket socket = card::service_socket();
    const std::string where =
        "socket " + socket.path + (socket.named_by_variable ? " (PCSCLITE_CSOCK_NAME)" : "");
    try {
        findings.context = card::establish_context(SCARD_SCOPE_USER);
    } catch (const card::EKSCardAPIWinAPIException& e) {
        const std::string found = "no answer on " + where + ": " + pcsc_clause(e.ErrorCode);
        if (::access(kPcscd, X_OK) != 0)
            return fail(found + "; pcscd is not installed", "sudo apt-get install pcscd");
        // One cause, one fix: the hint's.
        return fail(found + "; pcscd is installed at " + kPcscd,
                    hint_text(Hint::ServiceNotRunning, {}));
    }
    return ok("the PC/SC service answers on " + where);
}

// The readers as the lookup lists them, each with its card's state now; PC/SC's answer of no
// reader at all is an empty list, any other failure raises.
std::vector<Reader> list_readers(SCARDCONTEXT context) {
    std::optional<card::TKSCardAPIReadersCollection> listed;
    try {
        listed.emplace(context);
    } catch (const card::EKSCardAPIWinAPIException& e) {
        if (e.failure() != card::PcscFailure::NoReader)
            throw;
        return {};
    }
    const std::vector<card::ReaderCard> cards = card::reader_cards(*listed);
    std::vector<Reader> readers;
    for (std::size_t i = 0; i < listed->size(); ++i)
        readers.push_back({listed->Items(i).Name, cards[i].present, util::to_hex(cards[i].atr)});
    return readers;
}

// What to do about a cause the checks met, in the words of qel_sn's hint for it: one cause, one
// fix, wherever it is met.
HintContext hint_context_of(const Findings& findings, std::optional<card::ReaderCause> cause) {
    HintContext context;
    for (const Reader& reader : findings.readers)
        context.readers.push_back(reader.name);
    context.cause = std::move(cause);
    return context;
}

std::string cause_fix(Hint hint, const Findings& findings, std::optional<card::ReaderCause> cause) {
    return hint_text(hint, hint_context_of(findings, std::move(cause)));
}

Check check_readers(Findings& findings) {
    if (!findings.context.holds())
        return skipped("no PC/SC service to list them");
    try {
        findings.readers = list_readers(findings.context.get());
    } catch (const std::exception& e) {
        return fail(error_line(e.what()), "sudo systemctl restart pcscd");
    }
    if (findings.readers.empty())
        return fail("no reader is attached",
                    "plug in the dongle (it is a reader of its own); if it is in, check that the "
                    "system sees it (lsusb) and that its driver is there (libccid)");
    std::vector<std::string> listed;
    bool any_card = false;
    for (const Reader& reader : findings.readers) {
        listed.push_back(quoted(reader.name) + (reader.card ? " (card in)" : " (empty)"));
        any_card = any_card || reader.card;
    }
    if (!any_card)
        return warn(joined(listed, ", "), cause_fix(Hint::EmptyReaders, findings, {}));
    return ok(joined(listed, ", "));
}

// The protocol the card takes, asked in shared mode and left as it was; or why it cannot be.
std::string protocol_of(SCARDCONTEXT context, const Reader& reader, bool& held) {
    DWORD protocol = 0;
    try {
        // Only the protocol is wanted: the connection goes at once, leaving the card as it was.
        card::TKSCardAPIReader(reader.name, context).connect(SCARD_SHARE_SHARED, protocol);
    } catch (const card::EKSCardAPIWinAPIException& e) {
        held = e.failure() == card::PcscFailure::CardInUse;
        return held ? "held by another program" : pcsc_clause(e.ErrorCode);
    }
    return protocol == SCARD_PROTOCOL_T1 ? "T=1" : "T=0";
}

card::ReaderCause cause_in(const Reader& reader, card::ReaderCause::Kind kind) {
    card::ReaderCause cause;
    cause.kind = kind;
    cause.reader = reader.name;
    return cause;
}

Check check_cards(Findings& findings) {
    if (!findings.context.holds())
        return skipped("no PC/SC service to ask them");
    findings.profiles = gp::TKSCardGPCardDBini::parse_profile_file("");
    std::vector<std::string> cards;
    bool generic = false;
    // The first card another program holds, and the first profile value that keeps a card from
    // being read.
    std::optional<card::ReaderCause> held_card;
    std::optional<card::ReaderCause> unusable;
    const std::vector<gp::ProfileProblem> problems =
        findings.profiles.ini ? gp::profile_problems(*findings.profiles.ini)
                              : std::vector<gp::ProfileProblem>{};
    for (const Reader& reader : findings.readers) {
        if (!reader.card)
            continue;
        bool held = false;
        const std::string protocol = protocol_of(findings.context.get(), reader, held);
        if (held && !held_card)
            held_card = cause_in(reader, card::ReaderCause::Kind::CardInUse);
        const gp::ProfileOrigin origin =
            gp::profile_origin(findings.profiles.ini.get(), reader.atr_hex);
        std::string profile;
        switch (origin.kind) {
            case gp::ProfileOrigin::Kind::IniSection: {
                profile = "profile [" + error_line(origin.name) + "] of " +
                          gp::shown_file_name(findings.profiles);
                // Letters are skipped and a bad number taken as its default; bad hex digits
                // keep the card from being read at all.
                const auto bad = std::find_if(problems.begin(), problems.end(),
                                              [&](const gp::ProfileProblem& problem) {
                                                  return problem.section == origin.name &&
                                                         (problem.problem == gp::kHexOddDigits ||
                                                          problem.problem == gp::kHexNoDigits);
                                              });
                if (bad != problems.end()) {
                    profile += " that cannot be used (" + bad->key + ": " + bad->problem + ")";
                    if (!unusable) {
                        unusable = cause_in(reader, card::ReaderCause::Kind::ProfileUnusable);
                        unusable->file = gp::shown_file_name(findings.profiles);
                        unusable->section = bad->section;
                        unusable->key = bad->key;
                        unusable->problem = bad->problem;
                    }
                }
                break;
            }
            case gp::ProfileOrigin::Kind::BuiltIn:
                profile = "built-in profile " + quoted(origin.name);
                break;
            case gp::ProfileOrigin::Kind::None:
                profile = "no profile (a generic card)";
                generic = true;
                break;
        }
        cards.push_back(quoted(reader.name) + ": ATR " + reader.atr_hex + ", " + protocol + ", " +
                        profile);
    }
    if (cards.empty())
        return skipped("no card in any reader");
    // The causes qel_sn's hint would lead with, in its order, and in its words.
    if (held_card)
        return warn(joined(cards, "; "), cause_fix(Hint::CardInUse, findings, held_card));
    if (unusable)
        return warn(joined(cards, "; "), cause_fix(Hint::ProfileUnusable, findings, unusable));
    if (generic)
        return warn(joined(cards, "; "),
                    "a card without a profile is read with the default one; if it is the dongle, "
                    "add a section for its ATR to KSCard.ini");
    return ok(joined(cards, "; "));
}

Check check_profiles(Findings& findings) {
    if (findings.profiles.file_name.empty())
        findings.profiles = gp::TKSCardGPCardDBini::parse_profile_file("");
    const std::string& opened = findings.profiles.file_name;
    // The file is opened by the name it resolved to, and named to the user by its absolute path.
    const std::string path = gp::shown_file_name(findings.profiles);
    if (::access(opened.c_str(), F_OK) != 0)
        return ok("no " + path + ": the built-in profiles serve");
    // The parse the cards were looked up with; read again only to learn why it failed.
    if (!findings.profiles.ini) {
        try {
            findings.profiles.ini = std::make_shared<const gp::IniFile>(gp::IniFile::load(opened));
        } catch (const std::exception& e) {
            return warn(path + " cannot be read: " + e.what(),
                        "fix or remove " + path + "; until then the built-in profiles serve");
        }
    }
    const gp::IniFile& ini = *findings.profiles.ini;
    std::vector<std::string> problems;
    for (const gp::ProfileProblem& problem : gp::profile_problems(ini))
        problems.push_back("[" + error_line(problem.section) + "] " + problem.key + ": " +
                           problem.problem);
    if (problems.empty())
        return ok(path + " read, " + std::to_string(ini.section_count()) + " sections, no problem");
    return warn(
        path + ": " + joined(problems, "; "),
        "correct these values in " + path +
            " (hex values need an even number of digits, numbers decimal, or hex after $ or 0x); "
            "an odd number of hex digits, or none, keeps its card from being read, letters and "
            "other signs that are no hex digits are skipped, and a bad number is taken as its "
            "default");
}

// The readout's lines, kept for the report instead of shown.
class KeptLines : public ReadoutOutput {
public:
    void add(const std::string&) override {}
    void add_status(const std::string&) override {}
};

// What the search met that kept the dongle from being found, said before the not-found text:
// the real cause first.
std::string met_first(const std::vector<card::ReaderCause>& causes) {
    using Kind = card::ReaderCause::Kind;
    const std::optional<card::ReaderCause> cause = leading_cause(causes);
    if (!cause)
        return causes.empty() ? "" : "every reader is empty; ";
    const std::string card = "the card in " + quoted(cause->reader);
    switch (cause->kind) {
        case Kind::CardInUse:
            return "in use by another program: " + card + "; ";
        case Kind::ProfileUnusable:
            return card + " has a profile that cannot be used: " + cause->file + " [" +
                   cause->section + "] " + cause->key + ": " + cause->problem + "; ";
        case Kind::OtherCard:
            return card + " is not a QEL dongle (ATR " + util::to_hex(cause->atr) +
                   (cause->profile.empty() ? std::string()
                                           : ", profile " + quoted(cause->profile)) +
                   "); ";
        case Kind::Failed:
        case Kind::NoCard:
            break;
    }
    return {};
}

Check check_dongle(Findings& findings, Diagnosis& diagnosis) {
    if (!findings.context.holds())
        return skipped("no PC/SC service to read it through");
    if (findings.readers.empty())
        return skipped("no reader to read it in");
    std::unique_ptr<t_qel_sc_base> dongle;
    KeptLines lines;
    ReadoutOptions options;
    options.context = findings.context.get();
    // The readout qel_sn makes: an empty answer is no value.
    options.empty_answer_fails = true;
    const ReadoutResult result = read_dongle(dongle, lines, options);
    if (result.outcome == ReadoutResult::Outcome::Read) {
        diagnosis.dongle = result;
        return ok(readout_sentence({result, result.reader, {}}));
    }
    const HintContext hint_context = hint_context_of(findings, leading_cause(result.causes));
    const Hint hint = select_hint(result, hint_context);
    const std::string fix = hint == Hint::None ? "" : hint_text(hint, hint_context);
    if (result.outcome == ReadoutResult::Outcome::NotFound) {
        const std::string met = met_first(result.causes);
        // The not-found text's lines after its first are the lookup's reasons, which the cause
        // said first has put in words already.
        const std::string failure =
            met.empty() ? result.failure
                        : result.failure.substr(0, result.failure.find_first_of("\r\n"));
        return fail(met + "not found: " + error_line(failure), fix);
    }
    return fail("found in " + quoted(result.reader) + ", not read: " + error_line(result.failure),
                fix);
}

const char* status_word(Status status) {
    switch (status) {
        case Status::Ok:
            return "ok";
        case Status::Warn:
            return "warn";
        case Status::Fail:
            return "FAIL";
        case Status::Skipped:
            return "skipped";
    }
    return "";
}

}  // namespace

bool Diagnosis::failed() const {
    return std::any_of(checks.begin(), checks.end(),
                       [](const Check& check) { return check.status == Status::Fail; });
}

const std::vector<std::string>& diagnosis_check_names() {
    static const std::vector<std::string> names{"program", "library",  "service", "readers",
                                                "cards",   "profiles", "dongle"};
    return names;
}

Diagnosis diagnose(const std::string& program, const log::LogPlace& log_place,
                   const std::function<void(const Check&)>& check_made,
                   const std::function<void(const std::string&)>& check_begins) {
    Diagnosis diagnosis;
    Findings findings;
    const std::vector<std::string>& names = diagnosis_check_names();
    // A check that waits (on a dongle that hardly answers) holds back none made before it.
    const auto run = [&](std::size_t step, const std::function<Check()>& check) {
        if (check_begins)
            check_begins(names[step]);
        diagnosis.checks.push_back(check());
        diagnosis.checks.back().name = names[step];
        if (check_made)
            check_made(diagnosis.checks.back());
    };
    run(0, [&] { return check_program(program, log_place); });
    run(1, [&] { return check_library(findings); });
    run(2, [&] { return check_service(findings); });
    run(3, [&] { return check_readers(findings); });
    run(4, [&] { return check_cards(findings); });
    run(5, [&] { return check_profiles(findings); });
    run(6, [&] { return check_dongle(findings, diagnosis); });
    return diagnosis;
}

Check unanswered_check(const std::string& name, Unanswered what, unsigned seconds) {
    const std::string within = " within " + std::to_string(seconds) + " s";
    if (what == Unanswered::Service)
        return {name, Status::Fail, "no answer from the PC/SC service" + within,
                "the service hangs: sudo systemctl restart pcscd"};
    return {name, Status::Fail, "no answer from the card" + within,
            "unplug the dongle and plug it in again; if it stays silent, the dongle itself needs a "
            "check"};
}

Check not_run_check(const std::string& name, const std::string& unanswered) {
    return {name, Status::Skipped, "not run: the " + unanswered + " check got no answer", {}};
}

std::string check_text(const Check& check) {
    std::string status = status_word(check.status);
    std::string name = check.name;
    status.resize(std::max<std::size_t>(status.size(), 8), ' ');
    name.resize(std::max<std::size_t>(name.size(), 9), ' ');
    // Findings and fixes carry reader names, paths and variables as the machine has them.
    std::string text = status + name + error_line(check.finding) + "\n";
    if (!check.fix.empty())
        text += std::string(8, ' ') + "fix: " + error_line(check.fix) + "\n";
    return text;
}

std::string diagnosis_text(const Diagnosis& diagnosis) {
    std::string text;
    for (const Check& check : diagnosis.checks)
        text += check_text(check);
    return text;
}

std::string diagnosis_json(const Diagnosis& diagnosis) {
    nlohmann::ordered_json checks = nlohmann::ordered_json::array();
    for (const Check& check : diagnosis.checks) {
        std::string status = status_word(check.status);
        std::transform(status.begin(), status.end(), status.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        checks.push_back({{"check", check.name},
                          {"status", status},
                          {"finding", as_utf8(check.finding)},
                          {"fix", as_utf8(check.fix)}});
    }
    nlohmann::ordered_json dongle = nullptr;
    if (diagnosis.dongle) {
        dongle = nlohmann::ordered_json::object();
        add_readout_members(dongle, {*diagnosis.dongle, diagnosis.dongle->reader, {}});
    }
    const nlohmann::ordered_json report = {{"checks", checks}, {"dongle", dongle}};
    return report.dump() + "\n";
}

}  // namespace qel::app
