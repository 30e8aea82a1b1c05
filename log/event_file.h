#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace qel::log {

// Full path of the running program's executable; empty when the system cannot tell.
std::string executable_path();

// One text file kept open for appending log lines. The file is held with an exclusive lock
// while it is open: other processes may read it, but a second writer (another instance of the
// program, or a second object on the same path) gets no file and silently writes nothing.
class t_event_file {
public:
    t_event_file(const std::string& file_name, bool header);
    virtual ~t_event_file();

    t_event_file(const t_event_file&) = delete;
    t_event_file& operator=(const t_event_file&) = delete;

    // Only a regular file is opened: anything else at the path (a FIFO would block the program
    // until someone read it, a device would take the lines away) counts as one that cannot be.
    bool open(const std::string& file_name);
    bool is_open() const { return m_fd >= 0; }
    // Why the last open failed, for the user; empty after one that succeeded.
    const std::string& open_error() const { return m_open_error; }
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
    int m_fd = -1;
    std::uint32_t m_last_write_size = 0;
    std::string m_file_name;
    std::string m_open_error;
    std::string m_line_end = "\r\n";
    std::string m_pending_text;
};

}  // namespace qel::log
