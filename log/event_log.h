#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "log/event_file.h"
#include "log/log_place.h"
#include "log/sinks.h"

namespace qel::log {

// Name of the log file beside an executable: its extension replaced by ".log", or ".log"
// appended when the name has none. An empty path gives an empty name (no log file).
std::string log_file_name_for(const std::string& executable);

// Fans one log line out to the sinks that do not need the window: two optional hooks and the
// log file. Lines are 8-bit text without line ends of their own; the sinks add them.
class t_event_log {
public:
    using LogProc = void (*)(const std::string& text);
    using LogMethod = std::function<void(const std::string& text)>;

    // An empty name means no log file.
    explicit t_event_log(const std::string& file_name);
    // The file at that place, its state folder made first; no file when the place has none.
    explicit t_event_log(const LogPlace& place);
    virtual ~t_event_log();

    t_event_log(const t_event_log&) = delete;
    t_event_log& operator=(const t_event_log&) = delete;

    void log(const std::string& text, bool with_time);
    void log_to_file(const std::string& text, bool with_time);

    static std::string time_stamp() { return t_event_file::time_stamp(); }

    // None of the file when the log was created without a name, or its place could not be made.
    const t_event_file* log_file() const { return m_log_file.get(); }
    // Why the log writes no file although it was given a place for one, for the user:
    // "<file> (<reason>)", or "no place for it (<reason>)"; empty when it writes its file, and
    // for a log created without a name.
    std::string file_problem() const;
    // The same in its parts, for a front end that words it its own way; both empty when the
    // file is written.
    struct FileProblem {
        std::string file;    // empty when there is no place for one
        std::string reason;  // "no place for it (<reason>)" when there is no place
    };
    FileProblem file_problem_parts() const;

    LogProc on_log = nullptr;
    LogMethod on_log_method;

private:
    std::unique_ptr<t_event_file> m_log_file;
    FileProblem m_file_problem;
};

// The event log with the window sinks: the memo, an optional list control and the status bar,
// reached through the interfaces of sinks.h. Every line and every status change runs the
// message pump once, so the window stays painted while a synchronous workflow runs.
class t_event_log_ui : public t_event_log {
public:
    // The running program's log file: beside it, or in the user's state folder when the
    // program cannot write there (program_log_place).
    t_event_log_ui();
    explicit t_event_log_ui(const std::string& file_name);
    explicit t_event_log_ui(const LogPlace& place);

    // The log never owns a sink; one destroyed before the log is skipped from then on.
    void set_memo(MemoSink* memo) { m_memo.reset(memo); }
    void set_list(ListSink* list) { m_list.reset(list); }
    void set_status_bar(StatusBarSink* status_bar) { m_status_bar.reset(status_bar); }

    void clear();
    void add(const std::string& text) { add_line(text, false); }
    void add_status(const std::string& text);
    void add_line(const std::string& text, bool with_time);
    void set_status(const std::string& text, int index);
    void clear_status(int index) { set_status(" ", index); }

    // Character limit of the window sinks; 0 or less: none.
    std::int32_t max_length = 0;

    // Processes the window's pending messages once. The log knows no window toolkit: the window
    // installs its own (process_window_messages of window_sinks.h); without one nothing is
    // pumped. Tests install one that counts.
    std::function<void()> message_pump;

private:
    void pump();

    SinkRef<ListSink> m_list;
    SinkRef<MemoSink> m_memo;
    SinkRef<StatusBarSink> m_status_bar;
};

}  // namespace qel::log
