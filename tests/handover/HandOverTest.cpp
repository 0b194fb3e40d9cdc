#include "pages/Page.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace fw {
namespace {

struct RecordingPage : IPage {
    RecordingPage(std::string n, std::vector<std::string>& l) : name(std::move(n)), log(l) {}
    int Left() override { return left; }
    int Top() override { return top; }
    void SetLeft(int v) override { left = v; }
    void SetTop(int v) override { top = v; }
    void Show() override { log.push_back("show " + name); }
    void Unload() override { log.push_back("unload " + name); }
    std::string name;
    std::vector<std::string>& log;
    int left = 0, top = 0;
};

TEST(HandOver, TargetTakesPositionIsShownThenCurrentUnloadedWithHookBetween) {
    std::vector<std::string> log;
    RecordingPage ops("ops", log), progress("progress", log);
    ops.left = 317;
    ops.top = 211;
    HandOver(ops, progress, [&] { log.push_back("connect"); });
    EXPECT_EQ(progress.left, 317);
    EXPECT_EQ(progress.top, 211);
    EXPECT_EQ(log, (std::vector<std::string>{"show progress", "connect", "unload ops"}));
}

} // namespace
} // namespace fw
