#pragma once

#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace qel::bench {

// A directory under /tmp for a benchmark's log files, removed with the object.
class TempDir {
public:
    explicit TempDir(const std::string& prefix) {
        std::string name = "/tmp/" + prefix + ".XXXXXX";
        if (mkdtemp(name.data()) == nullptr)
            throw std::runtime_error(std::string("cannot create a directory: ") +
                                     std::strerror(errno));
        m_path = name;
    }
    ~TempDir() {
        std::error_code ignored;  // a leftover in /tmp is no reason to fail the benchmark
        std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

}  // namespace qel::bench
