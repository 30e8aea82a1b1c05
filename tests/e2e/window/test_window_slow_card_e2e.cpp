// A dongle that takes its time, or stops answering altogether, in the middle of a readout,
// through the sandbox's pcscd and vpcd. A blocked exchange cannot be cancelled; the window must
// still paint, and its close must end the program at once. The window runs in a process of its
// own (window_remote), since such a close ends that process.

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/support/child_process.h"
#include "tests/e2e/support/e2e_test.h"
#include "tests/e2e/support/pipe.h"
#include "tests/e2e/window/window_harness.h"
#include "tests/gp/test_card_db_support.h"

namespace qel::e2e {
namespace {

using namespace std::chrono_literals;

// window_remote, its commands and answers.
class RemoteWindow {
public:
    explicit RemoteWindow(const std::string& log_file) {
        m_process = std::make_unique<ChildProcess>(QEL_WINDOW_REMOTE_PATH,
                                                   std::vector<std::string>{log_file},
                                                   m_answers.write_end(), m_commands.read_end());
        m_answers.close_write();
        m_commands.close_read();
        ::fcntl(m_answers.read_end(), F_SETFL, O_NONBLOCK);
    }

    void send(const std::string& command) {
        const std::string line = command + "\n";
        if (::write(m_commands.write_end(), line.data(), line.size()) !=
            static_cast<ssize_t>(line.size()))
            throw std::runtime_error("window_remote does not take commands any more");
    }

    // The next answer line that starts with `prefix`, or nothing within `timeout`.
    std::optional<std::string> answer(const std::string& prefix,
                                      std::chrono::milliseconds timeout = 2000ms) {
        const Deadline deadline(timeout);
        for (;;) {
            for (std::size_t end; (end = m_pending.find('\n')) != std::string::npos;) {
                std::string line = m_pending.substr(0, end);
                m_pending.erase(0, end + 1);
                if (line.rfind(prefix, 0) == 0)
                    return line;
            }
            if (deadline.passed())
                return std::nullopt;
            char buffer[512];
            const ssize_t n = ::read(m_answers.read_end(), buffer, sizeof buffer);
            if (n > 0) {
                m_pending.append(buffer, static_cast<std::size_t>(n));
            } else {
                std::this_thread::sleep_for(5ms);
            }
        }
    }

    std::optional<std::string> state() {
        send("state");
        return answer("state ");
    }

    ChildProcess& process() { return *m_process; }

private:
    Pipe m_commands;
    Pipe m_answers;
    std::string m_pending;
    std::unique_ptr<ChildProcess> m_process;
};

class SlowCard : public E2eTest {
protected:
    std::string log_path() const { return (m_dir.path() / "qel_sn_reader.log").string(); }
    std::string log_lines() const {
        std::ifstream in(log_path(), std::ios::binary);
        const std::string file((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        const auto end = file.find("] ===\r\n");
        return end == std::string::npos ? file : file.substr(end + 7);
    }

    // Waits until the card has logged `text`.
    static bool card_logged(VirtualCard& card, const std::string& text) {
        const Deadline deadline(kDefaultTimeout);
        while (card.log().find(text) == std::string::npos) {
            if (deadline.passed())
                return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }

    const gp::testing::ScratchDir m_dir;
};

TEST_F(SlowCard, SilentCardLeavesTheWindowPaintingAndItsCloseEndsTheProgramAtOnce) {
    // The SELECT is answered; the serial command never is.
    VirtualCard& card = start_card({"--silent-after", "1"});
    RemoteWindow window(log_path());
    window.send("press");
    ASSERT_TRUE(window.answer("pressed"));
    ASSERT_TRUE(card_logged(card, "> 40 10 62 12 01 FF\nqel_vcard: card silent")) << card.log();

    // Stuck in the exchange, the window repaints and answers, again and again.
    for (int i = 0; i < 3; ++i) {
        window.send("repaint");
        EXPECT_TRUE(window.answer("painted ")) << "no repaint while the card is silent";
    }
    EXPECT_EQ(window.state(), "state enabled=0 status=Searching... memo=Searching...\\r\\n");

    const auto asked = std::chrono::steady_clock::now();
    window.send("close");
    const std::optional<int> status = window.process().wait_exit(2000ms);
    const auto took = std::chrono::steady_clock::now() - asked;
    ASSERT_TRUE(status) << "the program still runs 2 s after its window was closed";
    EXPECT_EQ(*status, 0) << window.process().log();
    EXPECT_LT(took, 2000ms);
    // What was logged before the close is in the file.
    EXPECT_EQ(log_lines(), "Searching...\r\n");

    // Once the card answers the exchange pcscd is still waiting on, pcscd lets go of what the
    // ended program held: the card can be had exclusively again.
    card.wake();
    const Deadline deadline(kDefaultTimeout);
    std::string refusal;
    for (;;) {
        try {
            const CardConnection again(pcsc(), kReaderNames[0], SCARD_SHARE_EXCLUSIVE);
            refusal.clear();
            break;
        } catch (const PcscError& e) {
            refusal = e.what();
        }
        if (deadline.passed())
            break;
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(refusal, "") << card.log();
}

TEST_F(SlowCard, SlowAnswersLeaveTheWindowPaintingAndTheReadoutComplete) {
    // Every command after the SELECT is answered, but only after 300 ms.
    VirtualCard& card = start_card({"--silent-after", "1", "--silent-for", "300"});
    RemoteWindow window(log_path());
    window.send("press");
    ASSERT_TRUE(window.answer("pressed"));
    ASSERT_TRUE(card_logged(card, "qel_vcard: card silent")) << card.log();
    window.send("repaint");
    EXPECT_TRUE(window.answer("painted ")) << "no repaint while the card takes its time";

    const std::string run =
        "Searching...\r\nSerial No (S/N): 0A1B2C3D\r\nFirmware version: 010A\r\nError Code: "
        "0x2A\r\nFinished\r\n";
    const Deadline deadline(kDefaultTimeout);
    std::optional<std::string> state;
    while (!deadline.passed()) {
        state = window.state();
        // The status says "Finished" a moment before the button comes back.
        if (state && state->rfind("state enabled=1 status=Finished", 0) == 0)
            break;
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(state,
              "state enabled=1 status=Finished memo=Searching...\\r\\nSerial No (S/N): "
              "0A1B2C3D\\r\\nFirmware version: 010A\\r\\nError Code: 0x2A\\r\\nFinished\\r\\n");
    EXPECT_EQ(log_lines(), run);

    window.send("close");
    EXPECT_EQ(window.process().wait_exit(kDefaultTimeout), 0) << window.process().log();
}

}  // namespace
}  // namespace qel::e2e
