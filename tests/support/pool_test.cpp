#include "support/pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace qm {
namespace {

// What the jobs of one test did, shared with the jobs by reference.
struct Journal {
  std::mutex lock;
  std::vector<int> ran;
  std::atomic<int> destroyed{0};
  std::atomic<bool> started{false};
  std::atomic<bool> release{false};

  void Record(int id) {
    std::lock_guard<std::mutex> guard(lock);
    ran.push_back(id);
  }
  std::vector<int> Ran() {
    std::lock_guard<std::mutex> guard(lock);
    return ran;
  }
};

class RecordingJob : public TPoolObject {
 public:
  RecordingJob(Journal& journal, int id, std::string name = "job")
      : TPoolObject(std::move(name)), journal_(journal), id_(id) {}
  ~RecordingJob() override { ++journal_.destroyed; }

 protected:
  void DoWork() override { journal_.Record(id_); }
  Journal& journal_;
  int id_;
};

class OtherJob : public RecordingJob {
 public:
  using RecordingJob::RecordingJob;
};

// Runs until released or terminated (bounded, so a broken pool cannot hang the test).
class BlockingJob : public RecordingJob {
 public:
  using RecordingJob::RecordingJob;

 protected:
  void DoWork() override {
    journal_.started = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!journal_.release && !Terminated() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    journal_.Record(Terminated() ? -id_ : id_);
  }
};

void WaitStarted(Journal& journal) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!journal.started && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(journal.started);
}

TEST(PoolServicesTest, RunsJobsOfManyThreadsOneAtATimeInArrivalOrder) {
  Journal journal;
  TpoolServices pool;
  std::mutex order_lock;
  int next = 0;
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};

  class CheckedJob : public RecordingJob {
   public:
    CheckedJob(Journal& j, int id, std::atomic<int>& running, std::atomic<bool>& overlapped)
        : RecordingJob(j, id), running_(running), overlapped_(overlapped) {}

   protected:
    void DoWork() override {
      if (++running_ > 1)
        overlapped_ = true;
      RecordingJob::DoWork();
      --running_;
    }

   private:
    std::atomic<int>& running_;
    std::atomic<bool>& overlapped_;
  };

  auto poster = [&] {
    for (int i = 0; i < 300; ++i) {
      // The arrival order is the order of Add calls; number the jobs in that order.
      std::lock_guard<std::mutex> guard(order_lock);
      pool.Add(std::make_unique<CheckedJob>(journal, next++, running, overlapped));
    }
  };
  std::thread a(poster);
  std::thread b(poster);
  a.join();
  b.join();
  pool.WaitIdle();

  const std::vector<int> ran = journal.Ran();
  ASSERT_EQ(ran.size(), 600u);
  for (int i = 0; i < 600; ++i)
    ASSERT_EQ(ran[static_cast<std::size_t>(i)], i);
  EXPECT_FALSE(overlapped);
  EXPECT_EQ(journal.destroyed, 600);
}

TEST(PoolServicesTest, SkipClassDropsQueuedJobsAndStopsTheRunningOne) {
  Journal journal;
  TpoolServices pool;
  pool.Add(std::make_unique<BlockingJob>(journal, 1, "first"));
  pool.Add(std::make_unique<RecordingJob>(journal, 2, "second"));
  pool.Add(std::make_unique<OtherJob>(journal, 3, "third"));
  pool.Add(std::make_unique<BlockingJob>(journal, 4, "fourth"));
  WaitStarted(journal);

  // Queued jobs only, exact class and exact name.
  EXPECT_TRUE(pool.FindName<RecordingJob>("second"));
  EXPECT_TRUE(pool.FindName<OtherJob>("third"));
  EXPECT_FALSE(pool.FindName<RecordingJob>("SECOND"));
  EXPECT_FALSE(pool.FindName<RecordingJob>("third"));  // OtherJob is not exactly RecordingJob
  EXPECT_FALSE(pool.FindName<BlockingJob>("first"));   // running, not queued
  EXPECT_TRUE(pool.FindName<BlockingJob>("fourth"));

  pool.SkipClass<BlockingJob>();
  // SkipClass returned: the running job has ended, terminated.
  ASSERT_FALSE(journal.Ran().empty());
  EXPECT_EQ(journal.Ran().front(), -1);
  pool.WaitIdle();
  EXPECT_EQ(journal.Ran(), (std::vector<int>{-1, 2, 3}));
  EXPECT_EQ(journal.destroyed, 4);  // the skipped job was freed without running
}

TEST(PoolServicesTest, ShutdownRunsQueuedJobsFirstThenRunsLateJobsInline) {
  Journal journal;
  {
    TpoolServices pool;
    pool.Add(std::make_unique<BlockingJob>(journal, 0));
    WaitStarted(journal);
    for (int i = 1; i < 100; ++i)
      pool.Add(std::make_unique<RecordingJob>(journal, i));
    EXPECT_EQ(journal.Ran().size(), 0u);  // all still queued behind the blocking job
    journal.release = true;
    pool.Shutdown();
    ASSERT_EQ(journal.Ran().size(), 100u);

    // After shutdown a job runs at once on the posting thread.
    std::thread::id ran_on;
    class ThreadJob : public TPoolObject {
     public:
      explicit ThreadJob(std::thread::id& out) : TPoolObject("late"), out_(out) {}

     protected:
      void DoWork() override { out_ = std::this_thread::get_id(); }

     private:
      std::thread::id& out_;
    };
    pool.Add(std::make_unique<ThreadJob>(ran_on));
    EXPECT_EQ(ran_on, std::this_thread::get_id());
  }
  const std::vector<int> ran = journal.Ran();
  for (int i = 0; i < 100; ++i)
    ASSERT_EQ(ran[static_cast<std::size_t>(i)], i);
  EXPECT_EQ(journal.destroyed, 100);
}

TEST(PoolServicesTest, DestroyingThePoolDrainsTheQueue) {
  Journal journal;
  {
    TpoolServices pool;
    pool.Add(std::make_unique<BlockingJob>(journal, 0));
    WaitStarted(journal);
    for (int i = 1; i < 20; ++i)
      pool.Add(std::make_unique<RecordingJob>(journal, i));
    journal.release = true;
  }
  EXPECT_EQ(journal.Ran().size(), 20u);
}

TEST(PoolObjectTest, SettingsFromKeysAndValues) {
  TPoolObject job("PGStatment", {"Statement", "Name", "Ratio", "Unpaired"},
                  {std::uintptr_t{0}, "x", 1.5});
  EXPECT_EQ(job.Name(), "PGStatment");
  TprmSettings& s = job.Settings();
  EXPECT_EQ(s.Count(), 3);
  EXPECT_EQ(s.GetData("statement"), "0");
  EXPECT_EQ(s.AsInt64("Statement"), 0);
  EXPECT_EQ(s.GetData("Ratio"), "1.5");
  EXPECT_EQ(s.Find("Unpaired"), nullptr);
  EXPECT_FALSE(job.Terminated());
  job.Terminate();
  EXPECT_TRUE(job.Terminated());
}

TEST(PrmSettingsTest, FindForceAndNumbers) {
  TprmSettings s;
  EXPECT_EQ(s.Find("a"), nullptr);
  s.GetData("Key") = "12";
  s.Force("KEY").PData() += "3";  // same setting, ignoring case
  EXPECT_EQ(s.Count(), 1);
  EXPECT_EQ(s.AsInteger("key"), 123);
  s["Address"] = "140234567890123";
  EXPECT_EQ(s.AsInt64("Address"), 140234567890123);
  s["Bad"] = "12abc";
  EXPECT_EQ(s.AsInt64("Bad"), 0);
  EXPECT_EQ(s.AsInteger("Missing"), 0);
  EXPECT_EQ(s.Count(), 4);  // reading a missing value created it
  EXPECT_EQ(s.Items(3).Name(), "Missing");
}

TEST(PrmSettingsTest, JsonLeavesOutEmptyValuesAndKeepsOrder) {
  TprmSettings s;
  EXPECT_EQ(s.AsJson(), "");
  s["Name"] = "a";
  s["Empty"] = "";
  EXPECT_EQ(s.AsJson(), R"({"Name":"a"})");
  s["Zeta"] = "z\"q";
  s["Alpha"] = "1";
  EXPECT_EQ(s.AsJson(), R"({"Name":"a","Zeta":"z\"q","Alpha":"1"})");

  TprmSettings t;
  t.SetAsJson(R"({"b":"2","a":"x","n":5,"o":{"k":true}})");
  ASSERT_EQ(t.Count(), 4);
  EXPECT_EQ(t.Items(0).Name(), "b");
  EXPECT_EQ(t.Items(1).Data(), "x");
  EXPECT_EQ(t.GetData("n"), "5");
  EXPECT_EQ(t.GetData("o"), R"({"k":true})");
  t.SetAsJson("[1,2]");
  EXPECT_EQ(t.Count(), 0);
  t["x"] = "1";
  t.SetAsJson("{not json");
  EXPECT_EQ(t.Count(), 0);
}

}  // namespace
}  // namespace qm
