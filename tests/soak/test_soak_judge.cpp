// The soak's verdicts rest on these judgements: a value other than the card's, or a failure
// that does not say why, must never pass as a readout or as a failure with a text. And its
// fault plan must hold what it promises.
#include "tests/soak/soak_judge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/soak/soak_faults.h"

namespace qel::soak {
namespace {

const DongleReadout kCard{"0A1B2C3D", 0x010A, 0x002A};
const std::string kLines =
    "Searching...\r\nSerial No (S/N): 0A1B2C3D\r\nFirmware version: 010A\r\nError Code: 0x2A\r\n";

struct PressCase {
    const char* name;
    PressResult press;
    Outcome outcome;
    const char* text;  // the failure's text for FailedWithText
};

class PressJudgement : public ::testing::TestWithParam<PressCase> {};

TEST_P(PressJudgement, TellsCorrectFailedAndWrongApart) {
    const Judgement judgement = judge_press(GetParam().press, kCard);
    EXPECT_EQ(outcome_name(judgement.outcome), std::string(outcome_name(GetParam().outcome)))
        << judgement.text;
    if (GetParam().outcome == Outcome::FailedWithText) {
        EXPECT_EQ(judgement.text, GetParam().text);
    }
}

const std::string kRead = "Dongle can't be read: ";

INSTANTIATE_TEST_SUITE_P(
    Presses, PressJudgement,
    ::testing::Values(
        PressCase{
            "Complete", {kLines + "Finished\r\n", "Finished", {}, true}, Outcome::Correct, ""},
        PressCase{"NotFound",
                  {"Searching...\r\nDongle can't be found: Card-Reader is not found\r\n"
                   "Finished\r\n",
                   "Finished",
                   {},
                   true},
                  Outcome::FailedWithText,
                  "Card-Reader is not found"},
        PressCase{"ReadFailsAfterSerial",
                  {"Searching...\r\nSerial No (S/N): 0A1B2C3D\r\n" + kRead + "Card removed\r\n",
                   kRead + "Card removed",
                   {"Card removed"},
                   true},
                  Outcome::FailedWithText,
                  "Card removed"},
        PressCase{"ReadFailsAtConnect",
                  {"Searching...\r\n" + kRead + "No service\r\n",
                   kRead + "No service",
                   {"No service"},
                   true},
                  Outcome::FailedWithText,
                  "No service"},
        PressCase{"OtherSerial",
                  {"Searching...\r\nSerial No (S/N): 0A1B2C3E\r\nFirmware version: 010A\r\n"
                   "Error Code: 0x2A\r\nFinished\r\n",
                   "Finished",
                   {},
                   true},
                  Outcome::Wrong,
                  ""},
        PressCase{"OtherFirmware",
                  {"Searching...\r\nSerial No (S/N): 0A1B2C3D\r\nFirmware version: 0000\r\n"
                   "Error Code: 0x2A\r\nFinished\r\n",
                   "Finished",
                   {},
                   true},
                  Outcome::Wrong,
                  ""},
        PressCase{"ErrorCodeMissing",
                  {"Searching...\r\nSerial No (S/N): 0A1B2C3D\r\nFirmware version: 010A\r\n"
                   "Finished\r\n",
                   "Finished",
                   {},
                   true},
                  Outcome::Wrong,
                  ""},
        PressCase{"FailureWithoutText",
                  {"Searching...\r\n" + kRead + "\r\n", kRead, {""}, true},
                  Outcome::Wrong,
                  ""},
        PressCase{"NotFoundWithoutText",
                  {"Searching...\r\nDongle can't be found: \r\nFinished\r\n", "Finished", {}, true},
                  Outcome::Wrong,
                  ""},
        PressCase{
            "ReadFailureNotReported",
            {"Searching...\r\n" + kRead + "Card removed\r\n", kRead + "Card removed", {}, true},
            Outcome::Wrong,
            ""},
        PressCase{"ButtonLeftDisabled",
                  {kLines + "Finished\r\n", "Finished", {}, false},
                  Outcome::Wrong,
                  ""},
        PressCase{"NotFinished", {kLines, "Error Code: 0x2A", {}, true}, Outcome::Wrong, ""},
        PressCase{
            "StatusPanelElsewhere",
            {"Searching...\r\n" + kRead + "Card removed\r\n", "Finished", {"Card removed"}, true},
            Outcome::Wrong,
            ""},
        PressCase{"EmptyMemo", {"", "Finished", {}, true}, Outcome::Wrong, ""}),
    [](const ::testing::TestParamInfo<PressCase>& info) { return info.param.name; });

TEST(ReadoutJudgement, TellsCorrectFailedAndWrongApart) {
    EXPECT_EQ(judge_readout([] { return kCard; }, kCard).outcome, Outcome::Correct);

    DongleReadout other = kCard;
    other.error_code = 0x0000;
    EXPECT_EQ(judge_readout([&] { return other; }, kCard).outcome, Outcome::Wrong);

    const Judgement failed =
        judge_readout([]() -> DongleReadout { throw std::runtime_error("Card removed"); }, kCard);
    EXPECT_EQ(failed.outcome, Outcome::FailedWithText);
    EXPECT_EQ(failed.text, "Card removed");

    EXPECT_EQ(
        judge_readout([]() -> DongleReadout { throw std::runtime_error(" "); }, kCard).outcome,
        Outcome::Wrong);
    EXPECT_EQ(judge_readout([]() -> DongleReadout { throw 1; }, kCard).outcome, Outcome::Wrong);
}

TEST(ResourceJudgement, JudgesOnlyAfterTheWarmUp) {
    const std::vector<Sample> steady{
        {0, 10, 40000}, {250, 12, 45000}, {500, 12, 45500}, {750, 12, 45100}};
    const ResourceVerdict verdict = judge_resources(steady, 250, 1024);
    ASSERT_TRUE(verdict.judged);
    EXPECT_EQ(verdict.baseline_iteration, 250);
    EXPECT_TRUE(verdict.descriptors_constant);
    EXPECT_EQ(verdict.resident_growth_kib, 500);
    EXPECT_TRUE(verdict.memory_steady);
}

TEST(ResourceJudgement, CatchesADescriptorMoreAndAMebibyteMore) {
    const std::vector<Sample> leaking{{250, 12, 45000}, {500, 13, 45000}, {750, 12, 46024}};
    const ResourceVerdict verdict = judge_resources(leaking, 250, 1024);
    ASSERT_TRUE(verdict.judged);
    EXPECT_FALSE(verdict.descriptors_constant);
    EXPECT_EQ(verdict.resident_growth_kib, 1024);
    EXPECT_FALSE(verdict.memory_steady);
}

TEST(ResourceJudgement, NeedsTwoSamplesAfterTheWarmUp) {
    EXPECT_FALSE(judge_resources({{0, 10, 40000}, {250, 10, 40000}}, 250, 1024).judged);
}

TEST(ResourceJudgement, AnUnreadableSampleFails) {
    const ResourceVerdict verdict = judge_resources({{250, -1, 45000}, {500, -1, -1}}, 250, 1024);
    EXPECT_FALSE(verdict.descriptors_constant);
    EXPECT_FALSE(verdict.memory_steady);
}

// A short run with one fault of a kind in each of its two loops must still see both signals.
TEST(FaultPlan, MixesBothSignalsEvenInTwoFaults) {
    for (std::uint64_t seed = 0; seed < 20; ++seed) {
        std::mt19937_64 random(seed);
        const std::vector<FaultKind> kinds =
            mixed_kinds(random, 2, FaultKind::CardKilled, FaultKind::CardStopped);
        ASSERT_EQ(kinds.size(), 2u);
        EXPECT_NE(kinds[0], kinds[1]) << "seed " << seed;
    }
}

TEST(FaultPlan, StrikesInsideTheLoopAndLeavesTimeToRecover) {
    std::mt19937_64 random(7);
    const std::vector<FaultKind> kinds(50, FaultKind::CardKilled);
    const std::vector<PlannedFault> plan = plan_faults(random, 1000, kinds);
    ASSERT_EQ(plan.size(), kinds.size());
    EXPECT_TRUE(std::is_sorted(
        plan.begin(), plan.end(),
        [](const PlannedFault& a, const PlannedFault& b) { return a.iteration < b.iteration; }));
    EXPECT_GE(plan.front().iteration, 50);
    EXPECT_LT(plan.back().iteration, 850);
}

TEST(FaultPlan, TheSameSeedPlansTheSameFaults) {
    const std::vector<FaultKind> kinds{FaultKind::CardKilled, FaultKind::PcscdStopped};
    std::mt19937_64 first(42);
    std::mt19937_64 second(42);
    const auto a = plan_faults(first, 300, kinds);
    const auto b = plan_faults(second, 300, kinds);
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].kind, b[i].kind);
        EXPECT_EQ(a[i].iteration, b[i].iteration);
        EXPECT_EQ(a[i].delay_us, b[i].delay_us);
        EXPECT_EQ(a[i].out_ms, b[i].out_ms);
    }
}

}  // namespace
}  // namespace qel::soak
