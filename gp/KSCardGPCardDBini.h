#pragma once

#include <memory>
#include <string>
#include <vector>

#include "gp/IniFile.h"
#include "gp/KSCardGPCardDBCore.h"
#include "util/Exception.h"

namespace qel::gp {

inline constexpr const char* kDefaultCardDBFileName = "./KSCard.ini";

inline constexpr const char* kHexOddDigits = "odd number of hex digits";
inline constexpr const char* kHexNoDigits = "no hex digits";
// The problem of a hex value with characters the conversion skips, after the first of them named
// as in `holds "G", ` (a control or non-ASCII byte as \xHH). Blanks and colons, which a user puts
// between bytes, are none.
inline constexpr const char* kHexSkipped = "which is no hex digit and is skipped";

// `file_name` by its absolute path, for a text that names the file: the current folder joined
// with the name, less a leading "./"; as it is when it is absolute or the current folder cannot
// be known.
std::string absolute_file_name(const std::string& file_name);

// A hex value of the profile file that the byte conversion refuses. what() is the conversion's
// own text, as for any other bad hex; reason() points the user at the line to fix, because a
// card whose profile cannot be read is otherwise just a card that is not there.
class ProfileHexError : public util::Exception {
public:
    ProfileHexError(const std::string& message, std::string file_name, std::string section,
                    std::string key, std::string fault);

    // One line: "<file> [<section>] <key>: <fault>", the file without a leading "./" (which only
    // a relative name has, when the current folder could not be known).
    std::string reason() const;

    std::string file_name;  // absolute, as absolute_file_name gives it at the parse
    std::string section;    // the section the value was read from: the alias one, if named
    std::string key;
    std::string fault;  // kHexOddDigits or kHexNoDigits
};

// A value in a profile section that a load cannot use.
struct ProfileProblem {
    std::string section;  // as its header writes it
    std::string key;
    std::string problem;  // kHexOddDigits, kHexNoDigits, kNotANumber, or one with kHexSkipped
};
inline constexpr const char* kNotANumber = "not a number";

// Every such value of every section, sections in name order: what a support desk fixes before a
// card with that ATR (or one whose section names it as Alias) can be read by its profile.
std::vector<ProfileProblem> profile_problems(const IniFile& ini);

// Where the profile of a card with the ATR's canonical hex comes from.
struct ProfileOrigin {
    enum class Kind { IniSection, BuiltIn, None } kind = Kind::None;
    std::string name;  // the section read (the Alias one, if named) or the built-in entry's name
};
ProfileOrigin profile_origin(const IniFile* ini, const std::string& atr_hex);

// The profile file as one parse: the name it resolved to, and its parse, absent when the file
// could not be read. A search over several readers holds one for all the cards it connects.
struct ProfileFileParse {
    std::string file_name;
    std::shared_ptr<const gp::IniFile> ini;
    // file_name as absolute_file_name gave it at the parse: what a text names the file by. Only
    // a file that is there has it: asking the current folder costs every readout its time, and
    // a missing file is named by nobody but the diagnosis (shown_file_name).
    std::string absolute_name;
};

// What a text names the parse's file by: its absolute name, worked out now for a file that was
// missing at the parse.
std::string shown_file_name(const ProfileFileParse& parse);

// Profiles from an INI file with one section per ATR (canonical hex), optionally pointing to a
// shared profile section through "Alias"; the built-in table answers for ATRs the file lacks.
// The file is parsed once per object, or once for several objects that share one parse: later
// edits reach only objects that parse anew.
class TKSCardGPCardDBini : public TKSCardGPCardDBCore {
public:
    explicit TKSCardGPCardDBini(const std::string& file_name);
    ~TKSCardGPCardDBini() override = default;

    // A non-empty hex value in the file with an odd number of digits, or none at all, raises
    // ProfileHexError with the even-length error of the byte conversions as its text and the
    // file by the absolute name it had at the parse; the fields read before it are kept and
    // Loaded stays false.
    bool LoadByATRHex(const std::string& atr_hex) override;
    // As LoadByATRHex with the ATR's canonical hex; the hex is only written out when the file
    // has sections to look it up in.
    bool LoadByATR(const util::TKUDynArraySoftLenContainer& atr) override;

    // Falls back to "./KSCard.ini" when no file named FileName exists; tells whether a file of
    // the final name exists.
    bool ResolveFileName();

    // Resolves the file name and parses the file now, as the first load would. False, with
    // IniFile left absent, when the file cannot be read; the next load then tries again.
    bool parse_ini_file();
    // The file named `file_name` resolved and parsed as parse_ini_file does, for no database in
    // particular.
    static ProfileFileParse parse_profile_file(std::string file_name);
    // Takes over another database's parse and the file name it resolved, so that several
    // databases read one file once. Nothing changes while the other has no parse.
    void share_ini_file_of(const TKSCardGPCardDBini& other);
    void share_ini_file_of(const ProfileFileParse& parse);

    std::string FileName;
    // Parsed at the first load that could read the file, or shared; absent until then.
    std::shared_ptr<const gp::IniFile> IniFile;

private:
    // FileName as absolute_file_name gave it at the parse, or as the shared parse holds it.
    std::string absolute_name;

    enum class FileState { Missing, Present, Other };
    // ResolveFileName of `file_name`, telling a name that is not there from one that is not a
    // readable file.
    static FileState resolve_file_name(std::string& file_name);
    // The parse, made now if there is none yet; nullptr when the file cannot be read.
    const gp::IniFile* profiles_file();
    // The load once the profile has been cleared and the file parsed, if it could be.
    bool load_by_atr_hex(const gp::IniFile* file, const std::string& atr_hex);
};

}  // namespace qel::gp
