#pragma once

#include <cstddef>

#include <cstdint>
#include <ctime>
#include <string>

#include "util/OwnedFd.h"

namespace qel::log {

// Full path of the running program's executable; empty when the system cannot tell.
std::string executable_path();

// One text file kept open for appending log lines. The file is held with an exclusive lock
// while it is open: other processes may read it, but a second writer (another instance of the
// program, or a second object on the same path) gets no file and silently writes nothing.
//
// A line either reaches the file whole or not at all: a write that fails, or stops short on a
// full disk, is cut back to where the line began. The first such failure closes the file, so
// the log goes on without it as without a file that could not be opened.
class t_event_file {
public:
    t_event_file(const std::string& file_name, bool header);
    // The file `file_name` names, opened by its last component inside `folder`, a descriptor of
    // the folder it lies in that the caller has checked: a folder renamed or replaced above it
    // since cannot move the file elsewhere.
    t_event_file(const util::OwnedFd& folder, const std::string& file_name, bool header);
    virtual ~t_event_file();

    t_event_file(const t_event_file&) = delete;
    t_event_file& operator=(const t_event_file&) = delete;

    // Only a regular file is opened: anything else at the path (a FIFO would block the program
    // until someone read it, a device would take the lines away), a symbolic link included
    // (it could point at a file the user running the program must not write), counts as one
    // that cannot be.
    bool open(const std::string& file_name);
    bool is_open() const { return m_fd.holds(); }
    // Why the file is not open, for the user: the last open failed, or a write failed and
    // closed it. Empty while it is open, and after close().
    const std::string& failure() const { return m_failure; }
    void close();

    // Both return the length of the text when the whole of it went to the file, else 0 (a
    // write cut short counts as failed).
    int write_line(const std::string& text);
    int write(const std::string& text);

    const std::string& file_name() const { return m_file_name; }
    // Bytes the file took in its last write (0 before the first); the log itself never reads it.
    std::uint32_t last_write_size() const { return m_last_write_size; }

    // "dd-mm-yyyy hh:mm:ss" in local time.
    static std::string time_stamp();
    static std::string time_stamp(std::time_t when);

private:
    t_event_file(int folder, const std::string& name_in_folder, const std::string& file_name,
                 bool header);
    bool open_at(int folder, const std::string& name_in_folder, const std::string& file_name);
    void write_failed(std::size_t written, int error);

    util::OwnedFd m_fd;
    std::uint32_t m_last_write_size = 0;
    std::string m_file_name;
    std::string m_failure;
    std::string m_line_end = "\r\n";
    std::string m_pending_text;
};

}  // namespace qel::log
