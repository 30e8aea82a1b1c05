#pragma once

#include <memory>
#include <string>

#include "gp/IniFile.h"
#include "gp/KSCardGPCardDBCore.h"

namespace qel::gp {

inline constexpr const char* kDefaultCardDBFileName = "./KSCard.ini";

// Profiles from an INI file with one section per ATR (canonical hex), optionally pointing to a
// shared profile section through "Alias"; the built-in table answers for ATRs the file lacks.
// The file is parsed once per object: later edits reach only new database objects.
class TKSCardGPCardDBini : public TKSCardGPCardDBCore {
public:
    explicit TKSCardGPCardDBini(const std::string& file_name);
    ~TKSCardGPCardDBini() override = default;

    // A hex value in the file with an odd number of digits raises the even-length error of the
    // byte conversions; the fields read before it are kept and Loaded stays false.
    bool LoadByATRHex(const std::string& atr_hex) override;

    // Falls back to "./KSCard.ini" when no file named FileName exists; tells whether a file of
    // the final name exists.
    bool ResolveFileName();

    std::string FileName;
    // Parsed at the first load that could read the file; absent until then.
    std::unique_ptr<gp::IniFile> IniFile;
};

}  // namespace qel::gp
