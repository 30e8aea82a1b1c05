#include "tests/e2e/window/window_harness.h"

#include <QPushButton>
#include <QTest>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <regex>
#include <stdexcept>

namespace qel::e2e {

WindowUnderTest::WindowUnderTest() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qel_window_XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create a temporary directory for the log file");
    m_dir = pattern;
    m_frm = std::make_unique<app::Tfrm>((m_dir / "qel_sn_reader.log").string());
    m_frm->error_report = [this](const std::string& text) { reports.push_back(text); };
    m_frm->show();
    m_btn = m_frm->findChild<QPushButton*>("btnProcess");
    m_msg = m_frm->findChild<log::Memo*>("msg");
    m_st = m_frm->findChild<log::StatusBar*>("st");
    if (!m_btn || !m_msg || !m_st)
        throw std::runtime_error("the window lacks msg, btnProcess or st");
}

WindowUnderTest::~WindowUnderTest() {
    m_frm.reset();
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
}

void WindowUnderTest::press() {
    QTest::mouseClick(m_btn, Qt::LeftButton);
}

std::string WindowUnderTest::memo() const {
    return m_msg->text();
}

std::string WindowUnderTest::status() const {
    return m_st->panel_text(0);
}

bool WindowUnderTest::button_enabled() const {
    return m_btn->isEnabled();
}

std::string WindowUnderTest::log_file() const {
    std::ifstream in(m_dir / "qel_sn_reader.log", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

::testing::AssertionResult split_log_file(const std::string& file, std::string& lines) {
    static const std::regex header(
        R"(^=== \[(\d{2})-(\d{2})-(\d{4}) (\d{2}):(\d{2}):(\d{2}) ([^\r\n]*)\] ===\r\n)");
    std::smatch m;
    if (!std::regex_search(file, m, header))
        return ::testing::AssertionFailure() << "no header line at the top of: " << file;

    std::error_code error;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (m[7].str() != exe.string())
        return ::testing::AssertionFailure()
               << "header names \"" << m[7].str() << "\", the program is " << exe;

    std::tm stamp{};
    stamp.tm_mday = std::stoi(m[1].str());
    stamp.tm_mon = std::stoi(m[2].str()) - 1;
    stamp.tm_year = std::stoi(m[3].str()) - 1900;
    stamp.tm_hour = std::stoi(m[4].str());
    stamp.tm_min = std::stoi(m[5].str());
    stamp.tm_sec = std::stoi(m[6].str());
    stamp.tm_isdst = -1;
    std::tm normalised = stamp;
    const std::time_t when = std::mktime(&normalised);
    // mktime moves an impossible date (31-02, 25:00) elsewhere; a real one stays as written.
    if (when == -1 || normalised.tm_mday != stamp.tm_mday || normalised.tm_mon != stamp.tm_mon ||
        normalised.tm_hour != stamp.tm_hour || normalised.tm_min != stamp.tm_min)
        return ::testing::AssertionFailure() << "header time stamp is no local time: " << m[0];
    const double age = std::difftime(std::time(nullptr), when);
    if (age < -5 || age > 300)
        return ::testing::AssertionFailure()
               << "header time stamp is " << age << " s away from now: " << m[0];

    lines = m.suffix().str();
    return ::testing::AssertionSuccess();
}

}  // namespace qel::e2e
