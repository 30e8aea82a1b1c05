#pragma once

#include <memory>
#include <string>

#include "gp/IniFile.h"
#include "gp/KSCardGPCardDBCore.h"
#include "util/Exception.h"

namespace qel::gp {

inline constexpr const char* kDefaultCardDBFileName = "./KSCard.ini";

inline constexpr const char* kHexOddDigits = "odd number of hex digits";
inline constexpr const char* kHexNoDigits = "no hex digits";

// A hex value of the profile file that the byte conversion refuses. what() is the conversion's
// own text, as for any other bad hex; Reason() points the user at the line to fix, because a
// card whose profile cannot be read is otherwise just a card that is not there.
class EKSCardGPCardDBHexValue : public util::Exception {
public:
    EKSCardGPCardDBHexValue(const std::string& message, std::string FileName, std::string Section,
                            std::string Key, std::string Fault);

    // One line: "<file> [<section>] <key>: <fault>", the file without a leading "./".
    std::string Reason() const;

    std::string FileName;
    std::string Section;  // the section the value was read from: the alias one, if named
    std::string Key;
    std::string Fault;  // kHexOddDigits or kHexNoDigits
};

// Profiles from an INI file with one section per ATR (canonical hex), optionally pointing to a
// shared profile section through "Alias"; the built-in table answers for ATRs the file lacks.
// The file is parsed once per object, or once for several objects that share one parse: later
// edits reach only objects that parse anew.
class TKSCardGPCardDBini : public TKSCardGPCardDBCore {
public:
    explicit TKSCardGPCardDBini(const std::string& file_name);
    ~TKSCardGPCardDBini() override = default;

    // A non-empty hex value in the file with an odd number of digits, or none at all, raises
    // EKSCardGPCardDBHexValue with the even-length error of the byte conversions as its text;
    // the fields read before it are kept and Loaded stays false.
    bool LoadByATRHex(const std::string& atr_hex) override;

    // Falls back to "./KSCard.ini" when no file named FileName exists; tells whether a file of
    // the final name exists.
    bool ResolveFileName();

    // Resolves the file name and parses the file now, as the first load would. False, with
    // IniFile left absent, when the file cannot be read; the next load then tries again.
    bool parse_ini_file();
    // Takes over another database's parse and the file name it resolved, so that several
    // databases read one file once. Nothing changes while the other has no parse.
    void share_ini_file_of(const TKSCardGPCardDBini& other);

    std::string FileName;
    // Parsed at the first load that could read the file, or shared; absent until then.
    std::shared_ptr<const gp::IniFile> IniFile;
};

}  // namespace qel::gp
