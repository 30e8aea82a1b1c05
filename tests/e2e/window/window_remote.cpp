// window_remote: the main window as the program builds it (real PC/SC library, real event loop),
// under the control of a test through its standard input and output. A test needs it where the
// window must be watched from outside: a window whose workflow is stuck on a card, or a close
// that ends the whole process.
//
//   window_remote LOG_FILE
//
// Commands, one per line on standard input; answers, one per line on standard output:
//   press     queues a click on "Get Info"                       -> "pressed"
//   state     -> "state enabled=<0|1> status=<panel 0> memo=<memo text>"
//   repaint   asks the window to repaint itself                  -> "painted <paints so far>"
//   close     closes the window as its close button does (no answer; the program ends)
// A readout failure's message box is replaced by the line "report <text>". Texts are written
// with CR and LF as \r and \n, so that every answer stays one line.

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QPushButton>
#include <QSocketNotifier>
#include <cerrno>
#include <cstdio>
#include <string>

#include "card/WinSCard.h"
#include "window/mfrm.h"

namespace {

std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

void answer(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

class Remote : public QObject {
public:
    explicit Remote(qel::app::Tfrm& frm)
        : m_frm(frm), m_input(STDIN_FILENO, QSocketNotifier::Read) {
        ::fcntl(STDIN_FILENO, F_SETFL, ::fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
        connect(&m_input, &QSocketNotifier::activated, this, &Remote::read_commands);
        m_frm.installEventFilter(this);
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &m_frm && event->type() == QEvent::Paint) {
            ++m_paints;
            if (m_repaint_asked) {
                m_repaint_asked = false;
                answer("painted " + std::to_string(m_paints));
            }
        }
        return false;
    }

private:
    void read_commands() {
        char buffer[256];
        for (;;) {
            const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (n > 0) {
                m_pending.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (n == 0) {
                // The test has gone; nobody is left to command the window.
                m_input.setEnabled(false);
            }
            break;
        }
        for (std::size_t end; (end = m_pending.find('\n')) != std::string::npos;) {
            const std::string command = m_pending.substr(0, end);
            m_pending.erase(0, end + 1);
            run(command);
        }
    }

    void run(const std::string& command) {
        if (command == "press") {
            // Queued, so that this handler returns before the run starts pumping messages.
            QMetaObject::invokeMethod(m_frm.btnProcess, &QPushButton::click, Qt::QueuedConnection);
            answer("pressed");
        } else if (command == "state") {
            answer(std::string("state enabled=") + (m_frm.btnProcess->isEnabled() ? "1" : "0") +
                   " status=" + escaped(m_frm.st->panel_text(0)) +
                   " memo=" + escaped(m_frm.msg->text()));
        } else if (command == "repaint") {
            m_repaint_asked = true;
            m_frm.update();
        } else if (command == "close") {
            m_frm.close();
        } else {
            answer("unknown " + command);
        }
    }

    qel::app::Tfrm& m_frm;
    QSocketNotifier m_input;
    std::string m_pending;
    int m_paints = 0;
    bool m_repaint_asked = false;
};

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: window_remote LOG_FILE\n");
        return 2;
    }
    qel::card::LoadWinSCard();
    int result = 0;
    {
        QApplication application(argc, argv);
        qel::app::Tfrm frm(argv[1]);
        frm.error_report = [](const std::string& text) { answer("report " + escaped(text)); };
        frm.show();
        Remote remote(frm);
        result = QApplication::exec();
    }
    qel::card::UnloadWinSCard();
    return result;
}
