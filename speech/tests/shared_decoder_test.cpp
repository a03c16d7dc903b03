// The Linux layer's shared decoder over a scripted utterance decoder: the
// worker thread is real, the results reach a manual loop.
#include "speech/linux/shared_decoder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <semaphore>
#include <thread>

#include "channel/manual_loop.h"

namespace morvik::speech::linux {
namespace {

using namespace std::chrono_literals;
using Results = std::vector<std::string>;

// Each chunk is one value: 0 is a pause, n > 0 is speech of the word "wn"; a
// word lasts as long as its value repeats, as a spoken word spans many
// frames. The end of an utterance can be held, as a long second pass is.
class ScriptedDecoder final : public UtteranceDecoder {
 public:
  struct Shared {
    std::atomic<int> utterances = 0;
    std::atomic<bool> holdEnd = false;  // the next end signals `endReached`, then waits for `endAllowed`
    std::binary_semaphore endReached{0}, endAllowed{0};
  };
  explicit ScriptedDecoder(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

  bool startUtterance() override {
    words_.clear();
    frames_ = 0;
    ++shared_->utterances;
    return true;
  }
  bool process(const std::int16_t* samples, std::size_t) override {
    speaking_ = samples[0] != 0;
    if (!speaking_) return true;
    frames_ += 2;
    const std::string word = "w" + std::to_string(samples[0]);
    if (word != last_) words_ += (words_.empty() ? "" : " ") + word;
    last_ = word;
    return true;
  }
  bool inSpeech() const override { return speaking_; }
  int frames() const override { return frames_; }
  void endUtterance() override {
    last_.clear();
    if (!shared_->holdEnd.exchange(false)) return;
    shared_->endReached.release();
    shared_->endAllowed.acquire();
  }
  std::string hypothesis() override { return words_; }

 private:
  std::shared_ptr<Shared> shared_;
  std::string words_, last_;
  int frames_ = 0;
  bool speaking_ = false;
};

struct Task {
  Task(channel::ManualLoop& loop, SharedDecoder& decoder)
      : delivery(loop, [this](const auto& result, const auto& error) {
          if (result) results.push_back((result->isFinal ? "final " : "partial ") + result->formattedString);
          if (error) results.push_back("error " + *error);
        }) {
    decoder.decode(feed, delivery, true);
  }
  void say(std::initializer_list<std::int16_t> chunks) {
    for (const auto value : chunks) feed->append(std::vector<std::int16_t>(320, value));
  }
  void cancel() {
    delivery.cancel();
    feed->cancel();
  }
  std::shared_ptr<Feed> feed = std::make_shared<Feed>();
  TaskDelivery delivery;
  Results results;
};

struct SharedDecoderThreads : ::testing::Test {
  // The worker runs on its own: wait for what it delivers, never for a set time.
  void waitFor(const Task& task, std::size_t count) {
    for (int i = 0; i < 60000 && task.results.size() < count; ++i) {
      std::this_thread::sleep_for(1ms);
      loop.runReady();
    }
    ASSERT_EQ(task.results.size(), count) << ::testing::PrintToString(task.results);
  }

  channel::ManualLoop loop;
  std::shared_ptr<ScriptedDecoder::Shared> shared = std::make_shared<ScriptedDecoder::Shared>();
  SharedDecoder decoder{std::make_unique<ScriptedDecoder>(shared)};
};

TEST_F(SharedDecoderThreads, PausesSplitTheDictationAndTheTextCarriesOver) {
  Task task(loop, decoder);
  task.say({1, 1, 2, 2, 0, 0, 3, 0, 4});
  task.feed->end();
  // Each text once: a chunk that changes nothing, and the pause that only
  // ends an utterance, send no partial.
  waitFor(task, 5);
  EXPECT_EQ(task.results,
            (Results{"partial w1", "partial w1 w2", "partial w1 w2 w3", "partial w1 w2 w3 w4", "final w1 w2 w3 w4"}));
  EXPECT_EQ(shared->utterances.load(), 3);

  // Speech without a pause is split too, after 20 s.
  Task unbroken(loop, decoder);
  for (int i = 0; i < SharedDecoder::longestUtteranceFrames / 2; ++i) unbroken.say({5});
  unbroken.say({6});
  unbroken.feed->end();
  waitFor(unbroken, 3);
  EXPECT_EQ(unbroken.results, (Results{"partial w5", "partial w5 w6", "final w5 w6"}));
  EXPECT_EQ(shared->utterances.load(), 5);
}

TEST_F(SharedDecoderThreads, CancelDuringALongEndDoesNotWaitAndTheNextTaskQueuesBehindIt) {
  shared->holdEnd = true;
  Task first(loop, decoder);
  first.say({1});
  first.feed->end();
  shared->endReached.acquire();
  // The main thread cancels and starts again while the end pass runs.
  auto cancelled = std::async(std::launch::async, [&] { first.cancel(); });
  const bool waited = cancelled.wait_for(30s) != std::future_status::ready;
  Task skipped(loop, decoder);
  skipped.cancel();
  Task second(loop, decoder);
  // Past what the decoder may hold back: the task is told it fell behind.
  for (std::size_t i = 0; i <= Feed::mostPendingSamples / 320; ++i) second.say({2});
  shared->endAllowed.release();
  ASSERT_FALSE(waited) << "cancel waited for the end pass";
  waitFor(second, 1);
  EXPECT_EQ(second.results, (Results{"error 语音识别跟不上音频输入"}));
  EXPECT_EQ(shared->utterances.load(), 2) << "a task cancelled before its turn is skipped";
  loop.runReady();
  EXPECT_EQ(first.results, Results{}) << "nothing of the cancelled task";
}

}  // namespace
}  // namespace morvik::speech::linux
