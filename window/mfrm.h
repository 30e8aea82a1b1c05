#pragma once

#include <QWidget>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "log/event_log.h"
#include "log/window_sinks.h"
#include "readout/qel_sc_base.h"
#include "readout/readout.h"
#include "readout/version.h"
#include "window/window_card_waiter.h"

class QPushButton;

namespace qel::app {

// The main window: a log memo, one "Get Info" button and a one-panel status bar. A press runs
// the whole readout synchronously; the log keeps the window painted meanwhile.
class Tfrm : public QWidget {
    Q_OBJECT

public:
    // The running program's log file: beside it, or in the user's state folder when the program
    // cannot write there.
    Tfrm();
    // The log file has the given name (empty: none); lets tests keep their files to themselves.
    explicit Tfrm(std::string log_file_name);
    ~Tfrm() override;

    void FormCreate();
    void FormClose();
    void btnProcessClick();

    // "Get Info" as a press runs it, for reading on insertion: now when the window is idle, else
    // right after the run under way (and its message box) is over, so no insertion is lost.
    void press_when_idle();
    // A line outside of any run (the watch's news of the PC/SC service) for the memo, the status
    // panel and the log file: now when idle, else after the run under way, whose lines it must
    // not split.
    void notice_when_idle(const std::string& text);

    void enable_process_button(bool enabled);
    void release_dongle();
    bool create_dongle();
    bool find_dongle();

    // The program-wide slots: the log for the whole run of the program, the dongle for the
    // length of one press.
    std::unique_ptr<qel::log::t_event_log_ui> event_log;
    std::unique_ptr<t_qel_sc_base> dongle;

    qel::log::Memo* msg;
    QPushButton* btnProcess;
    qel::log::StatusBar* st;

    // Reports a failure of the readout; by default a modal message box. Replaceable so that
    // tests read the text instead of blocking on the box.
    std::function<void(const std::string& text)> error_report;

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

private:
    // The readout's lines go to the log; the readout stops where the window has been closed.
    class ReadoutLines;

    void build_controls();
    void apply_outer_width();
    void run_press(const ReadoutOptions& options);
    void get_info(const ReadoutOptions& options);
    void run_failed(const std::string& text);
    void report_failure(const std::string& text);
    void report_log_file_state();
    [[noreturn]] void leave_during_card_wait();
    bool run_stopped() const { return m_close_requested; }
    void when_idle(std::function<void()> action);
    void run_deferred();
    void show_error_box(const std::string& text);

    std::optional<std::string> m_log_file_name;
    // The log file's problem the status panel has told of; a new one is told once.
    std::string m_log_problem_told;
    // Card calls run through it for as long as the window exists.
    WindowCardWaiter m_card_waiter;
    bool m_close_requested = false;
    bool m_running = false;
    bool m_placed = false;
    // What came in while a run was under way, in order.
    std::deque<std::function<void()>> m_deferred;
};

}  // namespace qel::app
