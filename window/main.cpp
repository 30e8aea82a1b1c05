#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "card/WinSCard.h"
#include "log/log_place.h"
#include "readout/exit_status.h"
#include "readout/hints.h"
#include "readout/version.h"
#include "util/StandardStreams.h"
#include "window/mfrm.h"
#include "window/window_options.h"
#include "window/window_watch.h"

namespace {

using namespace qel;

void print(std::FILE* stream, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

// Help, version and a bad command line are answered before the toolkit starts: they need no
// display, and the toolkit without one would abort the program with a message of its own.
// Returns the exit status when the program ends here.
std::optional<int> answer_before_the_toolkit(int argc, char* argv[]) {
    const app::WindowOptions early = app::early_window_options({argv + 1, argv + argc});
    if (early.help) {
        print(stdout, app::window_usage_text(log::program_log_place()));
        return app::kExitRead;
    }
    if (early.version) {
        print(stdout, app::version_text("qel_sn_reader"));
        return app::kExitRead;
    }
    const std::vector<std::string> args(argv + 1, argv + argc);
    app::WindowOptions checked;
    if (const auto error = app::parse_window_options(app::without_toolkit_options(args), checked)) {
        print(stderr, "qel_sn_reader: " + *error + "\n" + app::window_short_usage_text());
        return app::kExitUsage;
    }
    if (!app::window_has_display(args, std::getenv("QT_QPA_PLATFORM"), std::getenv("DISPLAY"),
                                 std::getenv("WAYLAND_DISPLAY"))) {
        print(stderr, std::string("qel_sn_reader: ") + app::kNoDisplay + "\n");
        return app::kExitNoDisplay;
    }
    return std::nullopt;
}

// The window, and its watch when asked for, until the user closes it.
int run_window(const app::WindowOptions& options, bool pcsc_loaded) {
    app::Tfrm frm;
    frm.show();
    // Destroyed before the window it presses.
    std::optional<app::WindowInsertionWatch> watch;
    if (options.watch && pcsc_loaded) {
        try {
            watch.emplace(frm);
        } catch (const std::exception& e) {
            // The window is of use without its watch: a press still reads the dongle.
            frm.notice_when_idle(std::string("Reading on insertion is off: ") + e.what());
        }
    } else if (options.watch) {
        frm.notice_when_idle("Reading on insertion is off: " +
                             app::hint_text(app::Hint::NoPcscLibrary, {}));
    }
    return QApplication::exec();
}

}  // namespace

int main(int argc, char* argv[]) {
    // Before anything else is opened: a closed stream's number must not go to the log file.
    util::open_closed_standard_streams();
    if (const auto early_exit = answer_before_the_toolkit(argc, argv))
        return *early_exit;

    // A machine without pcsc-lite still gets its window: every card call then reports that the
    // resource manager is not running.
    const bool pcsc_loaded = card::LoadWinSCard();
    int result = 0;
    {
        QApplication application(argc, argv);
        // Lets a Wayland dock match the window to its menu entry and icon.
        QGuiApplication::setDesktopFileName(QStringLiteral("org.qel.SnReader"));
        // The toolkit has taken its own options out of argv by now.
        app::WindowOptions options;
        if (const auto error = app::parse_window_options({argv + 1, argv + argc}, options)) {
            print(stderr, "qel_sn_reader: " + *error + "\n" + app::window_short_usage_text());
            result = app::kExitUsage;
        } else {
            result = run_window(options, pcsc_loaded);
        }
    }
    card::UnloadWinSCard();
    return result;
}
