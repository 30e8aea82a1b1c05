#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <string_view>

#include "gp/KSCardGPCardDBCore.h"

namespace qel::gp::testing {

inline const std::string kEgateAtr = "3B759400006202020301";
inline const std::string kEntry1Atr = "3B7F96000080318065B08441460412FFFE829000";
inline const std::string kEgateKey = "7C2E91A45B3D08F6E1A9C47D20B5683F";

// Every profile field in comparable form. The defaults are those a profile read from an INI
// section gets for absent keys.
struct Profile {
    bool loaded = false;
    std::string atr{};
    std::string name{};
    std::string aid{};
    std::string auth{};
    std::string mac{};
    std::string dek{};
    std::string kda = "none";
    std::string mother{};
    int ksv = 0, kn = 0, scpv = 0, scpo = 0, sl = 3, gp = 201, jc = 211, vop = 0;

    bool operator==(const Profile&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Profile& p) {
    return os << "{loaded=" << p.loaded << " atr=" << p.atr << " name='" << p.name
              << "' aid=" << p.aid << " auth=" << p.auth << " mac=" << p.mac << " dek=" << p.dek
              << " kda='" << p.kda << "' mother=" << p.mother << " ksv=" << p.ksv << " kn=" << p.kn
              << " scpv=" << p.scpv << " scpo=" << p.scpo << " sl=" << p.sl << " gp=" << p.gp
              << " jc=" << p.jc << " vop=" << p.vop << "}";
}

inline Profile snapshot(const TKSCardGPCardDBCore& db) {
    return Profile{db.Loaded,
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

inline const Profile kEgateProfile{.loaded = true,
                                   .atr = kEgateAtr,
                                   .name = "e-gate",
                                   .aid = "A0000000030000",
                                   .auth = kEgateKey,
                                   .mac = kEgateKey,
                                   .dek = kEgateKey,
                                   .kda = "none",
                                   .ksv = 1,
                                   .scpv = 1,
                                   .scpo = 5,
                                   .sl = 3,
                                   .gp = 201,
                                   .jc = 211};

inline const Profile kEntry1Profile{.loaded = true,
                                    .atr = kEntry1Atr,
                                    .aid = "A000000018434D00",
                                    .kda = "",
                                    .sl = 0,
                                    .gp = 0,
                                    .jc = 0};

// A fresh empty directory that is the current directory for the test's lifetime, so that
// "./KSCard.ini" is the test's own file.
class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qel_gpdb_XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        // As the system names the current directory, should the temporary folder be a link.
        m_path = std::filesystem::canonical(pattern);
        m_previous = std::filesystem::current_path();
        std::filesystem::current_path(m_path);
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::current_path(m_previous, ignored);
        std::filesystem::remove_all(m_path, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }

    // `text` with every "{dir}" replaced by the directory's path: an expected text that names a
    // file in it.
    std::string with_path(std::string text) const {
        static constexpr std::string_view kMark = "{dir}";
        for (auto at = text.find(kMark); at != std::string::npos;
             at = text.find(kMark, at + m_path.string().size()))
            text.replace(at, kMark.size(), m_path.string());
        return text;
    }

    void write(const std::string& name, std::string_view content) const {
        std::ofstream out(m_path / name, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        if (!out)
            throw std::runtime_error("cannot write " + name);
    }

private:
    std::filesystem::path m_path;
    std::filesystem::path m_previous;
};

}  // namespace qel::gp::testing
