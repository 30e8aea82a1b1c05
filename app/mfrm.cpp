#include "app/mfrm.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "card/CardWait.h"

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

std::string hex_line(const char* format, unsigned value) {
    char text[64];
    const int n = std::snprintf(text, sizeof text, format, value);
    return std::string(text, n > 0 ? static_cast<std::size_t>(n) : 0);
}

}  // namespace

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
    if (card::CardWaiter() == &m_card_waiter) {
        card::SetCardWaiter(nullptr);
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

    msg = new qel::log::t_memo(this);
    msg->setObjectName("msg");
    msg->setReadOnly(true);
    msg->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    msg->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    msg->setGeometry(4, 4, 386, 197);

    btnProcess = new QPushButton(QStringLiteral("Get Info"), this);
    btnProcess->setObjectName("btnProcess");
    btnProcess->setGeometry(4, 206, 386, 25);
    connect(btnProcess, &QPushButton::clicked, this, &Tfrm::btnProcessClick);

    st = new qel::log::t_status_bar(this);
    st->setObjectName("st");
    st->setSizeGripEnabled(false);
    st->add_panel(kPanelWidth);

    // The button comes first in the tab order and has the initial focus.
    setTabOrder(btnProcess, msg);
    btnProcess->setFocus();

    setFixedSize(kClientWidth, kClientHeight);

    card::SetCardWaiter(&m_card_waiter);
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
    const log::t_event_file* file = event_log->log_file();
    if (file == nullptr || file->is_open()) {
        return;
    }
    // Only the status panel: the memo and the file are for the runs. Straight into the panel,
    // since the window is still being built and no messages are to be processed yet.
    st->set_panel_text(
        0, "Log file not written: " + file->file_name() + " (" + file->open_error() + ")");
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
    release_dongle();
    std::string failure;
    try {
        dongle = std::make_unique<t_qel_sc_base>();
        return true;
    } catch (const std::exception& e) {
        failure = e.what();
    } catch (...) {
        failure = "Unknown failure";
    }
    event_log->add_status("Dongle can't be found: " + failure);
    return false;
}

bool Tfrm::find_dongle() {
    event_log->add_status("Searching...");
    if (run_stopped() || !create_dongle()) {
        return false;
    }
    if (dongle->connect_by_aid(dongle->applet_aid)) {
        return true;
    }
    event_log->add_status("Dongle can't be found: " + dongle->get_last_error());
    release_dongle();
    return false;
}

void Tfrm::btnProcessClick() {
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
        get_info();
    } catch (const std::exception& e) {
        run_failed(e.what());
    } catch (...) {
        run_failed("Unknown failure");
    }
    m_running = false;
}

void Tfrm::get_info() {
    event_log->clear();
    event_log->clear_status(0);
    if (run_stopped()) {
        return;
    }
    enable_process_button(false);
    if (run_stopped()) {
        return;
    }

    // Every log line pumps messages, and a close handled there releases the dongle: after each
    // line the run checks that it still has one before it sends the next command.
    if (find_dongle()) {
        dongle->reset_params();
        event_log->add("Serial No (S/N): " + dongle->read_serial());
        if (readout_stopped()) {
            return;
        }
        event_log->add(hex_line("Firmware version: %4.4X", dongle->read_firmware_version()));
        if (readout_stopped()) {
            return;
        }
        const unsigned code = dongle->read_error_code() & 0xFFu;
        if (code != 0) {
            event_log->add(hex_line("Error Code: 0x%2.2X", code));
            if (readout_stopped()) {
                return;
            }
        }
        release_dongle();
    }
    if (run_stopped()) {
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
        if (!m_close_requested && error_report) {
            error_report(text);
        }
    } catch (...) {
        // A report that fails has nobody left to tell; the window must still come back.
    }
    enable_process_button(true);
}

}  // namespace qel::app
