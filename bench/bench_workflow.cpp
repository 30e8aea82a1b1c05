// How close the dongle workflow comes to the floor pcsc-lite sets: our whole readout (dongle
// object, connection by AID, the three commands, destruction) against the same PC/SC calls
// made straight on pcsc-lite, alternated in one run against the virtual card, under T=0 and
// T=1; then a press of "Get Info" in the offscreen window until "Finished".
//
//   tools/pcsc-sandbox.sh -- build-bench/bench/bench_workflow [options]
//
// Our side loads the PC/SC library through a counting shim, so the table shows how many calls
// of each function every run made on either side.
#include <dlfcn.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QPushButton>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "app/mfrm.h"
#include "app/qel_sc_base.h"
#include "bench/bench_workflow_counts.h"
#include "bench/bench_workflow_floor.h"
#include "bench/bench_workflow_stats.h"
#include "card/WinSCard.h"
#include "tests/e2e/support/virtual_card.h"

namespace {

using namespace qel::bench;
using Clock = std::chrono::steady_clock;

constexpr double kGoalRatio = 1.10;

// The card's values are given, not left to its defaults, so every run can be checked.
const std::vector<std::string> kCardValues{"--serial", "0A1B2C3D4E5F6071", "--firmware",
                                           "010A",     "--error-code",     "002A"};
const DongleReadout kExpected{"0A1B2C3D", 0x010A, 0x002A};

struct Options {
    int runs = 300;
    int warmup = 30;
    int presses = 50;
    bool t0 = true;
    bool t1 = true;
};

void usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s [--runs N] [--warmup N] [--presses N] [--protocol t0|t1|both]\n"
                 "  --runs N       measured runs of each side (default 300, at least 1)\n"
                 "  --warmup N     runs of each side before measuring (default 30)\n"
                 "  --presses N    presses of \"Get Info\" in the window (default 50; 0: none)\n"
                 "  --protocol P   the card's protocol (default both)\n"
                 "Runs inside tools/pcsc-sandbox.sh, against the virtual card.\n",
                 program);
}

std::optional<int> count_argument(const char* text, int minimum) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < minimum || value > 1000000)
        return std::nullopt;
    return static_cast<int>(value);
}

std::optional<Options> parse_options(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc)
            return std::nullopt;
        const char* value = argv[++i];
        std::optional<int> number;
        if (option == "--runs") {
            number = count_argument(value, 1);
            options.runs = number.value_or(0);
        } else if (option == "--warmup") {
            number = count_argument(value, 0);
            options.warmup = number.value_or(0);
        } else if (option == "--presses") {
            number = count_argument(value, 0);
            options.presses = number.value_or(0);
        } else if (option == "--protocol") {
            const std::string protocol = value;
            if (protocol != "t0" && protocol != "t1" && protocol != "both")
                return std::nullopt;
            options.t0 = protocol != "t1";
            options.t1 = protocol != "t0";
            continue;
        } else {
            return std::nullopt;
        }
        if (!number)
            return std::nullopt;
    }
    return options;
}

// The counters of the shim the binding loaded. The shim stays loaded while this lives.
class ShimCounters {
public:
    explicit ShimCounters(const char* path) : m_handle(dlopen(path, RTLD_NOW | RTLD_NOLOAD)) {
        if (m_handle != nullptr)
            m_read = reinterpret_cast<ShimReadCounts>(dlsym(m_handle, kShimReadCountsSymbol));
        if (m_read == nullptr)
            throw std::runtime_error(std::string("no counters in the PC/SC shim ") + path);
    }
    ~ShimCounters() {
        if (m_handle != nullptr)
            dlclose(m_handle);  // only drops our reference; the binding holds its own
    }
    ShimCounters(const ShimCounters&) = delete;
    ShimCounters& operator=(const ShimCounters&) = delete;

    PcscCallCounts read() const {
        PcscCallCounts counts;
        m_read(counts.calls.data(), counts.calls.size());
        return counts;
    }

private:
    void* m_handle;
    ShimReadCounts m_read = nullptr;
};

// The workflow as the window runs it, without the window.
DongleReadout ours_readout() {
    auto dongle = std::make_unique<qel::app::t_qel_sc_base>();
    if (!dongle->connect_by_aid(dongle->applet_aid))
        throw std::runtime_error("Dongle can't be found: " + dongle->get_last_error());
    dongle->reset_params();
    DongleReadout readout;
    readout.serial = dongle->read_serial();
    readout.firmware_version = dongle->read_firmware_version();
    readout.error_code = dongle->read_error_code();
    dongle.reset();
    return readout;
}

double process_cpu_us() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

struct Side {
    std::vector<double> wall_us;
    std::vector<double> cpu_us;
    PcscCallCounts calls;   // of the first measured run
    int unsteady_runs = 0;  // measured runs whose calls differed from the first's
};

// One run, timed; its calls checked against the side's first measured run.
void run_once(Side& side, bool measured, const std::function<DongleReadout(PcscCallCounts&)>& run) {
    PcscCallCounts calls;
    const double cpu_before = process_cpu_us();
    const auto before = Clock::now();
    const DongleReadout readout = run(calls);
    const auto after = Clock::now();
    const double cpu_after = process_cpu_us();
    if (readout != kExpected)
        throw std::runtime_error("read " + describe(readout) + ", expected " + describe(kExpected));
    if (!measured)
        return;
    side.wall_us.push_back(std::chrono::duration<double, std::micro>(after - before).count());
    side.cpu_us.push_back(cpu_after - cpu_before);
    if (side.wall_us.size() == 1)
        side.calls = calls;
    else if (calls != side.calls)
        ++side.unsteady_runs;
}

std::string ms(double us) {
    char text[32];
    std::snprintf(text, sizeof text, "%8.3f ms", us / 1000);
    return text;
}

std::string ratio(double ours, double floor) {
    char text[32];
    std::snprintf(text, sizeof text, "%8.3f   ", floor > 0 ? ours / floor : 0.0);
    return text;
}

void print_calls(const PcscCallCounts& ours, const PcscCallCounts& floor, const char* ours_name,
                 const char* floor_name) {
    std::printf("  %-28s %7s %7s\n", "PC/SC calls per run", ours_name, floor_name);
    for (std::size_t i = 0; i < kPcscCallKinds; ++i) {
        if (ours.calls[i] == 0 && floor.calls[i] == 0)
            continue;
        std::printf("    %-26s %7llu %7llu%s\n", kPcscCallNames[i],
                    static_cast<unsigned long long>(ours.calls[i]),
                    static_cast<unsigned long long>(floor.calls[i]),
                    ours.calls[i] != floor.calls[i] ? "   differs" : "");
    }
    std::printf("    %-26s %7llu %7llu\n", "total", static_cast<unsigned long long>(ours.total()),
                static_cast<unsigned long long>(floor.total()));
}

// Returns false when the comparison is not a fair one: the sides made different exchanges, or
// a side's calls changed from run to run.
bool measure_workflow(const Options& options, const ShimCounters& shim, const char* title) {
    Side ours;
    Side floor;
    const auto run_ours = [&shim](PcscCallCounts& calls) {
        const PcscCallCounts before = shim.read();
        DongleReadout readout = ours_readout();
        calls = shim.read().since(before);
        return readout;
    };
    const auto run_floor = [](PcscCallCounts& calls) { return floor_readout(calls); };

    // Pairs in alternating order (ours first, then floor first) so that drift of the machine
    // or of the daemon weighs on both sides alike.
    const int total = options.warmup + options.runs;
    for (int i = 0; i < total; ++i) {
        const bool measured = i >= options.warmup;
        if (i % 2 == 0) {
            run_once(ours, measured, run_ours);
            run_once(floor, measured, run_floor);
        } else {
            run_once(floor, measured, run_floor);
            run_once(ours, measured, run_ours);
        }
    }

    const Summary ours_wall = summarize(ours.wall_us);
    const Summary floor_wall = summarize(floor.wall_us);
    const Summary ours_cpu = summarize(ours.cpu_us);
    const Summary floor_cpu = summarize(floor.cpu_us);

    std::printf("\n%s: %d runs of each side after %d warm-up, alternating\n", title, options.runs,
                options.warmup);
    std::printf("  %-28s %11s %11s %11s\n", "wall time per run", "median", "min", "p90");
    std::printf("    %-26s %s %s %s\n", "ours (t_qel_sc_base)", ms(ours_wall.median).c_str(),
                ms(ours_wall.min).c_str(), ms(ours_wall.p90).c_str());
    std::printf("    %-26s %s %s %s\n", "floor (pcsc-lite)", ms(floor_wall.median).c_str(),
                ms(floor_wall.min).c_str(), ms(floor_wall.p90).c_str());
    std::printf("    %-26s %s %s %s\n", "ratio ours/floor",
                ratio(ours_wall.median, floor_wall.median).c_str(),
                ratio(ours_wall.min, floor_wall.min).c_str(),
                ratio(ours_wall.p90, floor_wall.p90).c_str());
    // Each pair ran back to back, so its own ratio is the one drift disturbs least.
    std::vector<double> pair_ratios;
    for (std::size_t i = 0; i < ours.wall_us.size() && i < floor.wall_us.size(); ++i)
        pair_ratios.push_back(ours.wall_us[i] / floor.wall_us[i]);
    const Summary paired = summarize(pair_ratios);
    std::printf("    %-26s %8.3f    %8.3f    %8.3f\n", "ratio within each pair", paired.median,
                paired.min, paired.p90);
    std::printf("  %-28s %11s %11s\n", "CPU time of this process", "median", "min");
    std::printf("    %-26s %s %s\n", "ours", ms(ours_cpu.median).c_str(), ms(ours_cpu.min).c_str());
    std::printf("    %-26s %s %s\n", "floor", ms(floor_cpu.median).c_str(),
                ms(floor_cpu.min).c_str());
    print_calls(ours.calls, floor.calls, "ours", "floor");

    bool fair = true;
    if (ours.calls[PcscCall::Transmit] != floor.calls[PcscCall::Transmit]) {
        std::printf("  UNFAIR: the sides made different numbers of SCardTransmit calls\n");
        fair = false;
    }
    if (ours.unsteady_runs != 0 || floor.unsteady_runs != 0) {
        std::printf("  UNSTEADY: calls changed between runs (ours %d, floor %d runs)\n",
                    ours.unsteady_runs, floor.unsteady_runs);
        fair = false;
    }
    const double median_ratio = ours_wall.median / floor_wall.median;
    const double min_ratio = ours_wall.min / floor_wall.min;
    const bool met = median_ratio <= kGoalRatio && min_ratio <= kGoalRatio;
    std::printf("  goal ratio <= %.2f with equal SCardTransmit calls: %s\n", kGoalRatio,
                met && fair ? "met" : "NOT met");
    return fair;
}

bool memo_shows_readout(const std::string& memo) {
    const std::string serial_line = "Serial No (S/N): " + kExpected.serial + "\r\n";
    const std::string finished = "Finished\r\n";
    return memo.find(serial_line) != std::string::npos && memo.size() >= finished.size() &&
           memo.compare(memo.size() - finished.size(), finished.size(), finished) == 0;
}

// Presses of "Get Info"; false when a press did not end in a complete readout.
bool measure_window(const Options& options, const ShimCounters& shim,
                    const std::filesystem::path& log_file, const char* title) {
    qel::app::Tfrm frm(log_file.string());
    std::vector<std::string> reports;
    frm.error_report = [&reports](const std::string& text) { reports.push_back(text); };
    frm.show();
    QApplication::processEvents();

    std::vector<double> press_us;
    PcscCallCounts calls;
    const int warmup = std::min(options.presses, 5);
    for (int i = 0; i < warmup + options.presses; ++i) {
        const PcscCallCounts before = shim.read();
        const auto start = Clock::now();
        frm.btnProcess->click();
        const auto end = Clock::now();
        const PcscCallCounts made = shim.read().since(before);
        if (!reports.empty() || !memo_shows_readout(frm.msg->text()) ||
            !frm.btnProcess->isEnabled()) {
            std::printf("\n%s: press %d did not end in a readout; the memo:\n%s%s%s\n", title,
                        i + 1, frm.msg->text().c_str(), reports.empty() ? "" : "report: ",
                        reports.empty() ? "" : reports.front().c_str());
            return false;
        }
        if (i >= warmup) {
            press_us.push_back(std::chrono::duration<double, std::micro>(end - start).count());
            calls = made;
        }
    }

    const Summary press = summarize(press_us);
    std::printf("\n%s: %d presses of \"Get Info\" after %d warm-up, offscreen\n", title,
                options.presses, warmup);
    std::printf("  %-28s %11s %11s %11s\n", "press to \"Finished\"", "median", "min", "p90");
    std::printf("    %-26s %s %s %s\n", "window (Tfrm)", ms(press.median).c_str(),
                ms(press.min).c_str(), ms(press.p90).c_str());
    std::printf("  PC/SC calls of the last press: %llu, of them %llu SCardTransmit\n",
                static_cast<unsigned long long>(calls.total()),
                static_cast<unsigned long long>(calls[PcscCall::Transmit]));
    return true;
}

class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/qel-bench-workflow.XXXXXX";
        if (mkdtemp(name) == nullptr)
            throw std::runtime_error(std::string("cannot create a directory: ") +
                                     std::strerror(errno));
        m_path = name;
    }
    ~TempDir() {
        std::error_code ignored;  // a leftover in /tmp is no reason to fail the benchmark
        std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

int run(const Options& options) {
    const char* sandbox = std::getenv("QEL_SANDBOX");
    if (sandbox == nullptr || std::string(sandbox) != "1") {
        std::fprintf(stderr,
                     "bench_workflow needs the private PC/SC service: "
                     "tools/pcsc-sandbox.sh -- build-bench/bench/bench_workflow\n");
        return 2;
    }
    if (!qel::card::LoadWinSCard(QEL_BENCH_SHIM_PATH)) {
        std::fprintf(stderr, "cannot load the PC/SC shim %s: %s\n", QEL_BENCH_SHIM_PATH, dlerror());
        return 1;
    }
    const ShimCounters shim(QEL_BENCH_SHIM_PATH);
    TempDir temp;

    struct Protocol {
        bool wanted;
        const char* title;
        std::vector<std::string> options;
    };
    const Protocol protocols[] = {{options.t0, "T=0 card", {}}, {options.t1, "T=1 card", {"--t1"}}};

    bool fair = true;
    for (const Protocol& protocol : protocols) {
        if (!protocol.wanted)
            continue;
        std::vector<std::string> card_options = kCardValues;
        card_options.insert(card_options.end(), protocol.options.begin(), protocol.options.end());
        qel::e2e::VirtualCard card(0, card_options);
        fair = measure_workflow(options, shim, protocol.title) && fair;
        if (options.presses > 0)
            fair =
                measure_window(options, shim, temp.path() / "bench_workflow.log", protocol.title) &&
                fair;
        std::fflush(stdout);
    }
    return fair ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::optional<Options> options = parse_options(argc, argv);
    if (!options) {
        usage(argv[0]);
        return 2;
    }
    // The window is measured without a display.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    int qt_argc = 1;
    char* qt_argv[] = {argv[0], nullptr};
    int status = 1;
    try {
        QApplication application(qt_argc, qt_argv);
        status = run(*options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_workflow: %s\n", e.what());
        status = 1;
    }
    qel::card::UnloadWinSCard();
    return status;
}
