#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "window/mfrm.h"

class QPushButton;

namespace qel::e2e {

// The main window as a user meets it, shown off screen, with its log file in a temporary
// directory of its own. Failures of a readout land in `reports` instead of a message box.
class WindowUnderTest {
public:
    WindowUnderTest();  // throws std::runtime_error when the window or its controls are missing
    ~WindowUnderTest();

    WindowUnderTest(const WindowUnderTest&) = delete;
    WindowUnderTest& operator=(const WindowUnderTest&) = delete;

    app::Tfrm& frm() { return *m_frm; }
    log::Memo& msg() const { return *m_msg; }

    // A click on "Get Info"; the whole run happens inside it.
    void press();

    std::string memo() const;
    std::string status() const;  // status panel 0
    bool button_enabled() const;
    bool holds_dongle() const { return m_frm->dongle != nullptr; }

    // Everything the log file holds.
    std::string log_file() const;

    std::vector<std::string> reports;

private:
    std::filesystem::path m_dir;
    std::unique_ptr<app::Tfrm> m_frm;
    QPushButton* m_btn = nullptr;
    log::Memo* m_msg = nullptr;
    log::StatusBar* m_st = nullptr;
};

// Checks the log file's header line "=== [dd-mm-yyyy hh:mm:ss <exe path>] ===": the path is
// this test program's, the time stamp is a valid local time within a few minutes of now. On
// success `lines` receives everything under the header.
::testing::AssertionResult split_log_file(const std::string& file, std::string& lines);

}  // namespace qel::e2e
