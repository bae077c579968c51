// What the dialog tests put around the models: a clock moved by hand, a reader that answers when
// told, the dialogs' log.
#pragma once

#include <QCoreApplication>
#include <algorithm>
#include <gtest/gtest.h>
#include <map>

#include "dialogs/UnlockModel.h"
#include "platform/Log.h"

namespace vantorelle::test {

struct ManualClock final : DialogClock
{
    double time = 0;
    std::multimap<double, std::function<void()>> due;
    double now() const override { return time; }
    void after(double seconds, std::function<void()> work) override { due.emplace(time + seconds, std::move(work)); }
    void advance(double seconds)
    {
        const double end = time + seconds + 1e-9;
        while (!due.empty() && due.begin()->first <= end) {
            auto next = due.extract(due.begin());
            time = std::max(time, next.key());
            next.mapped()();
        }
        time = end;
    }
};

// Answers only when the test says so, also after an invalidation (with appCancel, as a reader does).
struct FakeContext final : BiometricContext
{
    int evaluations = 0;
    bool invalidated = false;
    Reply reply;
    void evaluate(const std::string& reason, Reply r) override
    {
        EXPECT_EQ(reason, "unlock your SSH keys for git");
        ++evaluations;
        reply = std::move(r);
    }
    void invalidate() override { invalidated = true; }
    void answer(std::expected<bool, Error> outcome) { std::exchange(reply, {})(std::move(outcome)); }
};

struct LogCapture
{
    std::vector<std::string> lines;
    LogCapture()
    {
        applog::setSink([this](std::string_view category, applog::Level, std::string_view line) {
            EXPECT_EQ(category, "touchid");
            lines.emplace_back(line);
        });
    }
    ~LogCapture() { applog::setSink({}); }
    bool has(const std::string& line) const { return std::ranges::find(lines, line) != lines.end(); }
};

inline void settle()
{
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::processEvents();
    }
}

} // namespace vantorelle::test
