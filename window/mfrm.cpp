#include "window/mfrm.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "card/CardWait.h"
#include "readout/readout.h"

namespace qel::app {

namespace {

constexpr int kClientWidth = 452;
constexpr int kClientHeight = 252;
constexpr int kOuterWidth = 400;
constexpr int kMinimumClientWidth = 4 + 386 + 4;
constexpr int kStatusHeight = 20;
constexpr int kPanelWidth = 50;

QString to_display(const std::string& text) {
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

class Tfrm::ReadoutLines final : public ReadoutOutput {
public:
    explicit ReadoutLines(Tfrm& window) : m_window(window) {}

    void add(const std::string& line) override { m_window.event_log->add(line); }
    void add_status(const std::string& line) override { m_window.event_log->add_status(line); }
    // A close handled in a line's message pump has released the dongle already; the readout
    // sees the empty slot as well, but the window's own steps after it need the flag.
    bool stopped() const override { return m_window.run_stopped(); }
    // The window stays painted and can be closed meanwhile; a close ends the wait.
    void pause(std::chrono::milliseconds time) override {
        QEventLoop wait;
        QTimer::singleShot(time, &wait, &QEventLoop::quit);
        wait.exec();
    }

private:
    Tfrm& m_window;
};

Tfrm::Tfrm() {
    build_controls();
    FormCreate();
}

Tfrm::Tfrm(std::string log_file_name) : m_log_file_name(std::move(log_file_name)) {
    build_controls();
    FormCreate();
}

Tfrm::~Tfrm() {
    release_dongle();
    if (card::card_waiter() == &m_card_waiter) {
        card::set_card_waiter(nullptr);
    }
}

void Tfrm::build_controls() {
    setObjectName("frm");
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);

    QFont font = QApplication::font();
    font.setPointSize(8);
    setFont(font);

    QPalette face = palette();
    face.setColor(QPalette::Window, face.color(QPalette::Button));
    setPalette(face);
    setAutoFillBackground(true);

    msg = new qel::log::Memo(this);
    msg->setObjectName("msg");
    msg->setReadOnly(true);
    msg->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    msg->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    msg->setGeometry(4, 4, 386, 197);

    btnProcess = new QPushButton(QStringLiteral("Get Info"), this);
    btnProcess->setObjectName("btnProcess");
    btnProcess->setGeometry(4, 206, 386, 25);
    connect(btnProcess, &QPushButton::clicked, this, &Tfrm::btnProcessClick);

    st = new qel::log::StatusBar(this);
    st->setObjectName("st");
    st->setSizeGripEnabled(false);
    st->add_panel(kPanelWidth);

    // The button comes first in the tab order and has the initial focus.
    setTabOrder(btnProcess, msg);
    btnProcess->setFocus();

    setFixedSize(kClientWidth, kClientHeight);

    card::set_card_waiter(&m_card_waiter);
}

void Tfrm::resizeEvent(QResizeEvent* event) {
    // The status bar is docked to the bottom edge.
    st->setGeometry(0, height() - kStatusHeight, width(), kStatusHeight);
    QWidget::resizeEvent(event);
}

void Tfrm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    apply_outer_width();
    if (!m_placed) {
        m_placed = true;
        if (QScreen* desktop = screen()) {
            QRect frame = frameGeometry();
            frame.moveCenter(desktop->availableGeometry().center());
            move(frame.topLeft());
        }
    }
}

void Tfrm::apply_outer_width() {
    // The outer width includes the frame, which the window system tells only once the window
    // is shown; before that the frame counts as nothing. The client area never gets narrower
    // than the memo and the button with their margin, so a thick frame cannot clip them.
    const int frame = frameGeometry().width() - geometry().width();
    const int client = std::max(kOuterWidth - frame, kMinimumClientWidth);
    if (client != width()) {
        setFixedSize(client, height());
    }
}

void Tfrm::moveEvent(QMoveEvent* event) {
    // A window manager reports its frame late, with the move that places the window in it.
    QWidget::moveEvent(event);
    apply_outer_width();
}

void Tfrm::FormCreate() {
    apply_outer_width();

    setWindowTitle(QStringLiteral("QEL S/N Reader v%1.%2").arg(version_major).arg(version_minor));
    QApplication::setApplicationDisplayName(windowTitle());

    event_log = m_log_file_name ? std::make_unique<qel::log::t_event_log_ui>(*m_log_file_name)
                                : std::make_unique<qel::log::t_event_log_ui>();
    event_log->set_memo(msg);
    event_log->set_status_bar(st);
    event_log->message_pump = qel::log::process_window_messages;
    report_log_file_state();

    error_report = [this](const std::string& text) { show_error_box(text); };
}

void Tfrm::report_log_file_state() {
    const std::string problem = event_log->file_problem();
    if (problem.empty() || problem == m_log_problem_told) {
        return;
    }
    m_log_problem_told = problem;
    // The reason first: a long path would push it out of the narrow window.
    const auto [file, reason] = event_log->file_problem_parts();
    // Only the status panel: the memo and the file are for the runs. Straight into the panel:
    // at start the window is still being built and no messages are to be processed yet, and
    // after a run the note must not wait behind anything.
    st->set_panel_text(0, file.empty() ? "Log file not written: " + reason
                                       : "Log file not written (" + reason + "): " + file);
}

void Tfrm::show_error_box(const std::string& text) {
    QMessageBox::critical(this, QApplication::applicationDisplayName(), to_display(text));
}

void Tfrm::closeEvent(QCloseEvent* event) {
    FormClose();
    QWidget::closeEvent(event);
}

void Tfrm::keyPressEvent(QKeyEvent* event) {
    // Return and Enter press "Get Info" wherever the focus is in the window, as Space does on
    // the button; a disabled button ignores the click.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        btnProcess->click();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void Tfrm::FormClose() {
    // A run that is pumping messages right now sees the flag and the empty slot and stops.
    m_close_requested = true;
    if (m_card_waiter.waiting()) {
        leave_during_card_wait();
    }
    release_dongle();
    QCoreApplication::quit();
}

void Tfrm::leave_during_card_wait() {
    // The close arrived while a card call was under way. That call cannot be cancelled, and the
    // dongle cannot be released under it: its card handle is in use, and the run that owns the
    // dongle is further up this very stack. Every log line is already in the file (each went out
    // in a write of its own), so ending the process loses nothing; the PC/SC service releases
    // the context and the card of a client that has gone.
    std::fflush(nullptr);
    std::_Exit(EXIT_SUCCESS);
}

void Tfrm::enable_process_button(bool enabled) {
    btnProcess->setEnabled(enabled);
    QCoreApplication::processEvents();
}

void Tfrm::release_dongle() {
    dongle.reset();
}

bool Tfrm::create_dongle() {
    ReadoutLines lines(*this);
    ReadoutResult result;
    return app::create_dongle(dongle, lines, result);
}

bool Tfrm::find_dongle() {
    ReadoutLines lines(*this);
    ReadoutResult result;
    return app::find_dongle(dongle, lines, {}, result);
}

void Tfrm::btnProcessClick() {
    run_press({});
}

void Tfrm::run_press(const ReadoutOptions& options) {
    // A press queued before the button went grey reaches here from one of the run's own message
    // pumps; a run inside the run would share its dongle slot.
    if (m_running) {
        return;
    }
    m_running = true;
    m_close_requested = false;
    // Nothing may leave a handler into the toolkit: a failure ends the run here, is reported,
    // and leaves the window ready for the next press.
    try {
        get_info(options);
    } catch (const std::exception& e) {
        run_failed(e.what());
    } catch (...) {
        run_failed("Unknown failure");
    }
    m_running = false;
    // A file that stopped taking lines during the run (a full disk) is told of once the run is
    // over, where no later line of the run covers the note up.
    if (!m_close_requested) {
        report_log_file_state();
    }
    if (!m_deferred.empty()) {
        // Not from here: this may be a message pump inside the run's own message box.
        QMetaObject::invokeMethod(
            this, [this] { run_deferred(); }, Qt::QueuedConnection);
    }
}

void Tfrm::press_when_idle() {
    // Another watch on the station may have connected first: its readout takes moments.
    ReadoutOptions options;
    options.held_card_patience = std::chrono::seconds(2);
    when_idle([this, options] { run_press(options); });
}

void Tfrm::notice_when_idle(const std::string& text) {
    when_idle([this, text] {
        try {
            event_log->add_status(text);
        } catch (...) {
            // Only news: a line that cannot be written leaves the window as it is.
        }
    });
}

void Tfrm::when_idle(std::function<void()> action) {
    if (m_running) {
        m_deferred.push_back(std::move(action));
        return;
    }
    action();
}

void Tfrm::run_deferred() {
    // A deferred press is a run of its own; what comes after it waits for its end again.
    while (!m_running && !m_close_requested && !m_deferred.empty()) {
        std::function<void()> action = std::move(m_deferred.front());
        m_deferred.pop_front();
        action();
    }
}

void Tfrm::get_info(const ReadoutOptions& options) {
    event_log->clear();
    event_log->clear_status(0);
    if (run_stopped()) {
        return;
    }
    enable_process_button(false);
    if (run_stopped()) {
        return;
    }

    // Every log line pumps messages, and a close handled there releases the dongle: the readout
    // checks after each line that it still has one before it sends the next command.
    ReadoutLines lines(*this);
    const ReadoutResult result = read_dongle(dongle, lines, options);
    if (result.outcome == ReadoutResult::Outcome::Failed) {
        // The dongle is released and the line written; the run ends with the box, not "Finished".
        report_failure(result.failure);
        return;
    }
    if (result.outcome == ReadoutResult::Outcome::Stopped || run_stopped()) {
        return;
    }
    event_log->add_status("Finished");
    if (run_stopped()) {
        return;
    }
    enable_process_button(true);
}

void Tfrm::run_failed(const std::string& text) {
    // Whatever the readout left behind goes first: the card is not held while the box waits for
    // the user, and the next press starts from an idle window.
    release_dongle();
    try {
        if (!m_close_requested) {
            // The line reaches the memo, the status panel and the file before the box comes up.
            event_log->add_status("Dongle can't be read: " + text);
        }
    } catch (...) {
        // A line that fails has nobody left to tell, and no box either; the window must still
        // come back.
        enable_process_button(true);
        return;
    }
    report_failure(text);
}

void Tfrm::report_failure(const std::string& text) {
    try {
        if (!m_close_requested && error_report) {
            error_report(text);
        }
    } catch (...) {
        // A report that fails has nobody left to tell; the window must still come back.
    }
    enable_process_button(true);
}

}  // namespace qel::app
