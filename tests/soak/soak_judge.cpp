#include "tests/soak/soak_judge.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <exception>
#include <iterator>

namespace qel::soak {

namespace {

const std::string kLineEnd = "\r\n";
const std::string kFinished = "Finished";
const std::string kNotFound = "Dongle can't be found: ";
const std::string kNotRead = "Dongle can't be read: ";

bool blank(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](unsigned char c) { return std::isspace(c) != 0; });
}

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool ends_with(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string first_line(const std::string& text) {
    return text.substr(0, text.find(kLineEnd));
}

Judgement wrong(std::string text) {
    return {Outcome::Wrong, std::move(text)};
}

// The rest of a press that failed, once the readout lines it showed are taken off.
Judgement judge_failure(const PressResult& press, const std::string& rest, bool searched_only) {
    std::string text;
    std::string last_line;
    const std::string found_tail = kLineEnd + kFinished + kLineEnd;
    if (starts_with(rest, kNotFound) && ends_with(rest, found_tail) &&
        rest.size() >= kNotFound.size() + found_tail.size()) {
        if (!searched_only)
            return wrong("\"" + kNotFound + "\" after a readout line: " + first_line(rest));
        text = rest.substr(kNotFound.size(), rest.size() - kNotFound.size() - found_tail.size());
        last_line = kFinished;
        if (!press.reports.empty())
            return wrong("a card that was not found was reported: " + press.reports.front());
    } else if (starts_with(rest, kNotRead) && ends_with(rest, kLineEnd)) {
        text = rest.substr(kNotRead.size(), rest.size() - kNotRead.size() - kLineEnd.size());
        last_line = kNotRead + text;
        if (press.reports.size() != 1 || press.reports.front() != text)
            return wrong(
                "the failure \"" + text + "\" was reported " +
                std::to_string(press.reports.size()) + " times" +
                (press.reports.empty() ? "" : ", first as \"" + press.reports.front() + "\""));
    } else {
        return wrong("unexpected memo line: \"" + first_line(rest) + "\"");
    }
    if (blank(text))
        return wrong("a failure without a text: \"" + first_line(rest) + "\"");
    if (press.status != last_line)
        return wrong("status panel \"" + press.status + "\", expected \"" + last_line + "\"");
    if (!press.button_enabled)
        return wrong("the button stayed disabled after: " + text);
    return {Outcome::FailedWithText, text};
}

}  // namespace

const char* outcome_name(Outcome outcome) {
    switch (outcome) {
        case Outcome::Correct:
            return "correct";
        case Outcome::FailedWithText:
            return "failed with a text";
        case Outcome::Wrong:
            return "WRONG";
    }
    return "?";
}

Judgement judge_readout(const std::function<DongleReadout()>& readout,
                        const DongleReadout& expected) {
    try {
        const DongleReadout got = readout();
        if (got == expected)
            return {Outcome::Correct, {}};
        return wrong("read " + describe(got) + ", expected " + describe(expected));
    } catch (const std::exception& e) {
        const std::string text = e.what();
        if (blank(text))
            return wrong("an exception without a message");
        return {Outcome::FailedWithText, text};
    } catch (...) {
        return wrong("an exception of no standard type");
    }
}

std::vector<std::string> readout_lines(const DongleReadout& readout) {
    char firmware[32];
    std::snprintf(firmware, sizeof firmware, "Firmware version: %4.4X",
                  static_cast<unsigned>(readout.firmware_version));
    std::vector<std::string> lines{"Searching...", "Serial No (S/N): " + readout.serial, firmware};
    // The window leaves out an error code of 00 in its low byte.
    const unsigned code = readout.error_code & 0xFFu;
    if (code != 0) {
        char error_code[32];
        std::snprintf(error_code, sizeof error_code, "Error Code: 0x%2.2X", code);
        lines.emplace_back(error_code);
    }
    return lines;
}

Judgement judge_press(const PressResult& press, const DongleReadout& expected) {
    const std::vector<std::string> lines = readout_lines(expected);
    std::size_t at = 0;
    std::size_t shown = 0;
    for (; shown < lines.size(); ++shown) {
        const std::string line = lines[shown] + kLineEnd;
        if (press.memo.compare(at, line.size(), line) != 0)
            break;
        at += line.size();
    }
    const std::string rest = press.memo.substr(at);
    if (shown == 0)
        return wrong("the memo does not start with \"Searching...\": \"" + first_line(press.memo) +
                     "\"");
    if (shown < lines.size()) {
        // A line that starts as the expected one does but goes on otherwise shows a value
        // other than the card's.
        const std::string& due = lines[shown];
        const std::size_t label = due.find(": ");
        if (label != std::string::npos && starts_with(rest, due.substr(0, label + 2)))
            return wrong("wrong value: \"" + first_line(rest) + "\", expected \"" + due + "\"");
        return judge_failure(press, rest, shown == 1);
    }
    if (rest != kFinished + kLineEnd)
        return wrong("after the readout the memo shows \"" + first_line(rest) + "\"");
    if (!press.reports.empty())
        return wrong("a complete readout reported: " + press.reports.front());
    if (press.status != kFinished)
        return wrong("status panel \"" + press.status + "\" after a complete readout");
    if (!press.button_enabled)
        return wrong("the button stayed disabled after a complete readout");
    return {Outcome::Correct, {}};
}

ResourceVerdict judge_resources(const std::vector<Sample>& samples, int warmup,
                                long growth_limit_kib) {
    ResourceVerdict verdict;
    std::vector<Sample> judged;
    std::copy_if(samples.begin(), samples.end(), std::back_inserter(judged),
                 [warmup](const Sample& s) { return s.iteration >= warmup; });
    if (judged.size() < 2)
        return verdict;
    verdict.judged = true;
    verdict.baseline_iteration = judged.front().iteration;
    verdict.resident_baseline_kib = judged.front().resident_kib;
    const auto [fewest, most] = std::minmax_element(
        judged.begin(), judged.end(),
        [](const Sample& a, const Sample& b) { return a.descriptors < b.descriptors; });
    verdict.descriptors_min = fewest->descriptors;
    verdict.descriptors_max = most->descriptors;
    long highest = judged.front().resident_kib;
    bool readable = true;
    for (const Sample& s : judged) {
        highest = std::max(highest, s.resident_kib);
        readable = readable && s.descriptors >= 0 && s.resident_kib >= 0;
    }
    verdict.resident_growth_kib = highest - verdict.resident_baseline_kib;
    verdict.descriptors_constant = readable && verdict.descriptors_min == verdict.descriptors_max;
    verdict.memory_steady = readable && verdict.resident_growth_kib < growth_limit_kib;
    return verdict;
}

}  // namespace qel::soak
