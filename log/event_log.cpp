#include "log/event_log.h"

#include <filesystem>

namespace qel::log {

std::string log_file_name_for(const std::string& executable) {
    if (executable.empty()) {
        return {};
    }
    std::filesystem::path path(executable);
    path.replace_extension(".log");
    return path.string();
}

t_event_log::t_event_log(const std::string& file_name) {
    if (!file_name.empty()) {
        m_log_file = std::make_unique<t_event_file>(file_name, true);
    }
}

t_event_log::t_event_log(const LogPlace& place) {
    if (place.file.empty()) {
        m_file_problem.reason = "no place for it (" + place.problem + ")";
        return;
    }
    if (const std::string problem = make_log_folder(place); !problem.empty()) {
        m_file_problem = {place.file, problem};
        return;
    }
    util::OwnedFd folder;
    if (const std::string problem = open_log_folder(place, folder); !problem.empty()) {
        m_file_problem = {place.file, problem};
        return;
    }
    m_log_file = std::make_unique<t_event_file>(folder, place.file, true);
}

t_event_log::~t_event_log() = default;

std::string t_event_log::file_problem() const {
    const FileProblem problem = file_problem_parts();
    return problem.file.empty() ? problem.reason : problem.file + " (" + problem.reason + ")";
}

t_event_log::FileProblem t_event_log::file_problem_parts() const {
    if (m_log_file && !m_log_file->is_open()) {
        return {m_log_file->file_name(), m_log_file->failure()};
    }
    return m_file_problem;
}

void t_event_log::log(const std::string& text, bool with_time) {
    // No console echo: this is a window program, and it has no console to write to.
    if (on_log != nullptr) {
        on_log(text);
    }
    if (on_log_method) {
        on_log_method(text);
    }
    log_to_file(text, with_time);
}

void t_event_log::log_to_file(const std::string& text, bool with_time) {
    if (!m_log_file) {
        return;
    }
    m_log_file->write_line(with_time ? time_stamp() + " " + text : text);
}

t_event_log_ui::t_event_log_ui() : t_event_log_ui(program_log_place()) {}

t_event_log_ui::t_event_log_ui(const std::string& file_name) : t_event_log(file_name) {}

t_event_log_ui::t_event_log_ui(const LogPlace& place) : t_event_log(place) {}

void t_event_log_ui::pump() {
    if (message_pump) {
        message_pump();
    }
}

void t_event_log_ui::clear() {
    if (MemoSink* memo = m_memo.get()) {
        memo->set_text({});
    }
    if (ListSink* list = m_list.get()) {
        list->clear_items();
    }
}

void t_event_log_ui::add_status(const std::string& text) {
    add_line(text, false);
    set_status(text, 0);
}

void t_event_log_ui::add_line(const std::string& text, bool with_time) {
    // The file gets the line before any window sink shows it.
    log(text, with_time);
    const std::string line = with_time ? time_stamp() + " " + text : text;

    if (MemoSink* memo = m_memo.get()) {
        if (max_length > 0 && memo->text().size() > static_cast<std::size_t>(max_length)) {
            clear();
        }
        const std::string shown = memo->text() + line + "\r\n";
        memo->set_text(shown);
        memo->set_selection(static_cast<int>(shown.size()), 1);
    }
    if (ListSink* list = m_list.get()) {
        if (max_length > 0 && list->text().size() > static_cast<std::size_t>(max_length)) {
            clear();
        }
        list->add_item(line);
        list->scroll_to_item(list->item_count() - 1);
    }
    pump();
}

void t_event_log_ui::set_status(const std::string& text, int index) {
    if (text.empty()) {
        return;
    }
    if (StatusBarSink* status_bar = m_status_bar.get()) {
        const int panels = status_bar->panel_count();
        if (panels == 0) {
            return;
        }
        if (index >= panels) {
            index = 0;
        }
        // A negative index changes nothing; the log reports no failure of its own.
        status_bar->set_panel_text(index, text);
    }
    pump();
}

}  // namespace qel::log
