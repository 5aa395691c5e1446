#include "engine/JobRunner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/FolderCompressorControlError.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

/// What the fake jobs of one run share: the order of their stages, and the files working
/// (planning or encoding) at once.
struct Log {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> events;
    int working = 0;
    int mostWorking = 0;
    /// Each time the runner looks again.
    int rounds = 0;

    void add(const std::string& event) {
        std::scoped_lock lock(mutex);
        events.push_back(event);
        changed.notify_all();
    }
    bool has(const std::string& event) {
        return std::find(events.begin(), events.end(), event) != events.end();
    }
    void newRound() {
        std::scoped_lock lock(mutex);
        ++rounds;
        changed.notify_all();
    }
    bool waitForRound(int round) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(20), [&] { return rounds >= round; });
    }
    /// Blocks until every event in `awaited` happened; false after a generous time.
    bool waitFor(const std::vector<std::string>& awaited) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(20), [&] {
            return std::all_of(awaited.begin(), awaited.end(),
                               [&](const auto& event) { return has(event); });
        });
    }
    std::vector<std::string> only(const std::string& stage) {
        std::scoped_lock lock(mutex);
        std::vector<std::string> found;
        for (const auto& event : events)
            if (event.rfind(stage + " ", 0) == 0)
                found.push_back(event.substr(stage.size() + 1));
        return found;
    }
};

/// How a fake file behaves: a stage that throws, no encode, an encode that waits for
/// other files' encodes to end first.
struct Script {
    bool planThrows = false;
    bool decideThrows = false;
    bool needsEncode = true;
    bool encodeThrows = false;
    std::vector<std::string> encodeAwaits;
    std::function<void()> duringPlan;
    std::function<void()> duringDecide;
};

class FakeJob : public JobRunner::Job {
public:
    FakeJob(std::string name, Script script, Log& log)
        : name_(std::move(name)), script_(std::move(script)), log_(log) {}

    void plan() override {
        Working working(log_);
        log_.add("plan " + name_);
        if (script_.duringPlan)
            script_.duringPlan();
        if (script_.planThrows)
            throw std::runtime_error("plan failed");
    }
    bool decide() override {
        log_.add("decide " + name_);
        if (script_.duringDecide)
            script_.duringDecide();
        if (script_.decideThrows)
            throw std::runtime_error("decide failed");
        return script_.needsEncode;
    }
    void encode() override {
        {
            Working working(log_);
            log_.add("encoding " + name_);
            if (!log_.waitFor(script_.encodeAwaits)) {
                std::scoped_lock lock(log_.mutex);
                std::string all;
                for (const auto& event : log_.events)
                    all += event + "; ";
                ADD_FAILURE() << name_ << " waited in vain: " << all;
            }
            if (script_.encodeThrows)
                throw std::runtime_error("encode failed");
        }
        log_.add("encoded " + name_);
    }
    void finish(std::exception_ptr error) override {
        std::string how = "ok";
        try {
            if (error)
                std::rethrow_exception(error);
        } catch (const FolderCompressorControlError&) {
            how = "cancelled";
        } catch (const std::exception& failure) {
            how = failure.what();
        }
        log_.add("finish " + name_ + " " + how);
    }

private:
    struct Working {
        Log& log;
        explicit Working(Log& l) : log(l) {
            std::scoped_lock lock(log.mutex);
            log.mostWorking = std::max(log.mostWorking, ++log.working);
        }
        ~Working() {
            std::scoped_lock lock(log.mutex);
            --log.working;
        }
    };
    std::string name_;
    Script script_;
    Log& log_;
};

class JobRunnerTest : public ::testing::Test {
protected:
    EngineControl control_;
    Log log_;
    std::map<std::string, Script> scripts_;

    void SetUp() override { control_.setCancellationRequested(false); }

    void run(int width, const std::vector<std::string>& names) {
        std::vector<fs::path> files(names.begin(), names.end());
        JobRunner(width, control_)
            .run(
                files,
                [this](const fs::path& file) {
                    return std::make_unique<FakeJob>(file.native(), scripts_[file.native()], log_);
                },
                [this](std::size_t) { log_.newRound(); });
    }
};

TEST_F(JobRunnerTest, FilesDecideAndFinishInTheirOrderWhicheverEncodeEndsFirst) {
    // a's encode ends only after b's and c's, which begin while it runs: a finishes first.
    scripts_["a.jpg"].encodeAwaits = {"encoded b.jpg", "encoded c.jpg"};
    scripts_["b.jpg"].encodeAwaits = {"encoding a.jpg"};
    scripts_["c.jpg"].encodeAwaits = {"encoding a.jpg"};
    run(2, {"a.jpg", "b.jpg", "c.jpg"});
    const std::vector<std::string> order = {"a.jpg", "b.jpg", "c.jpg"};
    EXPECT_EQ(log_.only("decide"), order);
    EXPECT_EQ(log_.only("finish"), (std::vector<std::string>{"a.jpg ok", "b.jpg ok", "c.jpg ok"}));
    EXPECT_EQ(log_.mostWorking, 2) << "never more files working than the width";
}

TEST_F(JobRunnerTest, SourcesOfOneStemAreNeverInFlightTogether) {
    run(4, {"x.jpg", "X.png", "y.jpg"});
    std::scoped_lock lock(log_.mutex);
    const auto at = [&](const std::string& event) {
        return std::find(log_.events.begin(), log_.events.end(), event) - log_.events.begin();
    };
    EXPECT_LT(at("finish x.jpg ok"), at("plan X.png"));
}

TEST_F(JobRunnerTest, AFailingStageEndsItsFileAndTheOthersGoOn) {
    scripts_["plan.jpg"].planThrows = true;
    scripts_["decide.jpg"].decideThrows = true;
    scripts_["fresh.jpg"].needsEncode = false;
    scripts_["encode.jpg"].encodeThrows = true;
    run(2, {"plan.jpg", "decide.jpg", "fresh.jpg", "encode.jpg", "good.jpg"});
    EXPECT_EQ(log_.only("finish"), (std::vector<std::string>{
                                       "plan.jpg plan failed", "decide.jpg decide failed",
                                       "fresh.jpg ok", "encode.jpg encode failed", "good.jpg ok"}));
    EXPECT_EQ(log_.only("decide"),
              (std::vector<std::string>{"decide.jpg", "fresh.jpg", "encode.jpg", "good.jpg"}));
    EXPECT_EQ(log_.only("encoded"), std::vector<std::string>{"good.jpg"});
}

TEST_F(JobRunnerTest, ACancelledBatchStartsNoFileAndEndsPlannedOnesUndecided) {
    // b ends its plan only once the runner has looked again after the cancellation.
    int cancelledAt = 0;
    scripts_["a.jpg"].duringDecide = [&] {
        control_.setCancellationRequested(true);
        {
            std::scoped_lock lock(log_.mutex);
            cancelledAt = log_.rounds;
        }
        log_.add("cancelled");
    };
    scripts_["b.jpg"].duringPlan = [&] {
        EXPECT_TRUE(log_.waitFor({"cancelled"}));
        int round = 0;
        {
            std::scoped_lock lock(log_.mutex);
            round = cancelledAt + 1;
        }
        EXPECT_TRUE(log_.waitForRound(round));
    };
    run(2, {"a.jpg", "b.jpg", "c.jpg"});
    EXPECT_EQ(log_.only("finish"), (std::vector<std::string>{"a.jpg ok", "b.jpg cancelled"}));
    EXPECT_EQ(log_.only("decide"), std::vector<std::string>{"a.jpg"});
    auto planned = log_.only("plan");
    std::sort(planned.begin(), planned.end());
    EXPECT_EQ(planned, (std::vector<std::string>{"a.jpg", "b.jpg"})) << "c never starts";
}

} // namespace
} // namespace velk
