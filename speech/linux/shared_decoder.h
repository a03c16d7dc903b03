#pragma once

// The one speech decoder of the process, shared by the recognition tasks one
// after the other on a worker thread of its own. The main thread only hands
// audio over and raises flags under a lock that no decoding pass ever holds,
// so "cancel" and a new "prepare" never wait for the decoder. A dictation is
// decoded as a row of utterances split at its pauses: each one's second
// passes run as soon as the speaker pauses, so ending a dictation costs what
// its last sentence costs, whatever its length, and the decoder's memory
// stays that of one sentence.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "speech/task_delivery.h"

namespace morvik::speech::linux {

// A decoder of one utterance at a time, as PocketSphinx is. Called from the
// worker thread only.
class UtteranceDecoder {
 public:
  virtual ~UtteranceDecoder() = default;
  virtual bool startUtterance() = 0;
  // False when decoding fails.
  virtual bool process(const std::int16_t* samples, std::size_t count) = 0;
  // Whether the voice activity detector hears speech at the end of the audio
  // processed so far; it turns false after a pause.
  virtual bool inSpeech() const = 0;
  // Frames (10 ms each) of speech searched in this utterance.
  virtual int frames() const = 0;
  // Runs the second passes, whose cost grows with the utterance.
  virtual void endUtterance() = 0;
  // The best hypothesis: partial while the utterance runs, final after its end.
  virtual std::string hypothesis() = 0;
};

// The audio of one request, from the main thread to the worker.
class Feed {
 public:
  // Audio waiting for the decoder, at most: two minutes. The application
  // pushes in real time and the decoder runs several times faster, so only a
  // decoder that cannot keep up gets there.
  static constexpr std::size_t mostPendingSamples = 16000 * 120;

  void append(std::vector<std::int16_t> samples);
  void end();
  void cancel();

 private:
  friend class SharedDecoder;
  enum class Next { audio, ended, cancelled, overflowed };
  bool isCancelled();
  // Waits for the next chunk or the end, on the worker.
  Next next(std::vector<std::int16_t>& chunk);

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::vector<std::int16_t>> chunks_;
  std::size_t pendingSamples_ = 0;
  bool ended_ = false;
  bool cancelled_ = false;
  bool overflowed_ = false;
};

class SharedDecoder {
 public:
  // An utterance with no pause is split anyway after this much speech, which
  // bounds the cost of its end and of a cancellation (continuous noise can
  // keep the detector hearing speech).
  static constexpr int longestUtteranceFrames = 20 * 100;

  explicit SharedDecoder(std::unique_ptr<UtteranceDecoder> decoder);
  // Waits for the task being decoded to end (the process never destroys the
  // decoder; tests do).
  ~SharedDecoder();
  SharedDecoder(const SharedDecoder&) = delete;
  SharedDecoder& operator=(const SharedDecoder&) = delete;

  // Queues a task: its audio is decoded once the tasks before it are done,
  // its results go out through `delivery`, partial ones only if `partial`.
  void decode(std::shared_ptr<Feed> feed, TaskDelivery delivery, bool partial);

 private:
  struct Job {
    std::shared_ptr<Feed> feed;
    TaskDelivery delivery;
    bool partial;
  };
  void run();
  void decodeJob(const Job& job);
  bool nextUtterance(std::string& carried);

  std::unique_ptr<UtteranceDecoder> decoder_;
  std::mutex mutex_;
  std::condition_variable queued_;
  std::deque<Job> jobs_;
  std::shared_ptr<Feed> current_;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace morvik::speech::linux
