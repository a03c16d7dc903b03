#include "speech/linux/shared_decoder.h"

#include "channel/text.h"

namespace morvik::speech::linux {
namespace {

// Descriptions of the errors this layer reports, in the user's language as
// the platform's own would be.
constexpr const char* decoderFailed = "PocketSphinx 解码失败";
constexpr const char* noSpeech = "未检测到语音";
constexpr const char* fellBehind = "语音识别跟不上音频输入";

// The logic keeps no more of a transcription; cutting here too keeps the
// carried text bounded and a partial that only grows past the cut unsent.
constexpr std::size_t longestText = 8000;

std::string joined(const std::string& carried, const std::string& current) {
  if (carried.empty()) return channel::truncateGraphemes(current, longestText);
  if (current.empty()) return carried;
  return channel::truncateGraphemes(carried + " " + current, longestText);
}

}  // namespace

void Feed::append(std::vector<std::int16_t> samples) {
  std::lock_guard lock(mutex_);
  if (ended_ || cancelled_ || overflowed_) return;
  if (pendingSamples_ + samples.size() > mostPendingSamples) {
    overflowed_ = true;
    chunks_.clear();
  } else {
    pendingSamples_ += samples.size();
    chunks_.push_back(std::move(samples));
  }
  changed_.notify_one();
}

void Feed::end() {
  std::lock_guard lock(mutex_);
  ended_ = true;
  changed_.notify_one();
}

void Feed::cancel() {
  std::lock_guard lock(mutex_);
  cancelled_ = true;
  chunks_.clear();
  pendingSamples_ = 0;
  changed_.notify_one();
}

bool Feed::isCancelled() {
  std::lock_guard lock(mutex_);
  return cancelled_;
}

Feed::Next Feed::next(std::vector<std::int16_t>& chunk) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return cancelled_ || overflowed_ || ended_ || !chunks_.empty(); });
  if (cancelled_) return Next::cancelled;
  if (overflowed_) return Next::overflowed;
  if (chunks_.empty()) return Next::ended;
  chunk = std::move(chunks_.front());
  chunks_.pop_front();
  pendingSamples_ -= chunk.size();
  return Next::audio;
}

SharedDecoder::SharedDecoder(std::unique_ptr<UtteranceDecoder> decoder)
    : decoder_(std::move(decoder)), worker_([this] { run(); }) {}

SharedDecoder::~SharedDecoder() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (const auto& job : jobs_) job.feed->cancel();
    if (current_) current_->cancel();
    queued_.notify_one();
  }
  worker_.join();
}

void SharedDecoder::decode(std::shared_ptr<Feed> feed, TaskDelivery delivery, bool partial) {
  std::lock_guard lock(mutex_);
  jobs_.push_back({std::move(feed), std::move(delivery), partial});
  queued_.notify_one();
}

void SharedDecoder::run() {
  for (;;) {
    std::unique_lock lock(mutex_);
    queued_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    if (jobs_.empty()) return;
    const Job job = std::move(jobs_.front());
    jobs_.pop_front();
    current_ = job.feed;
    lock.unlock();
    decodeJob(job);
    lock.lock();
    current_.reset();
  }
}

// Ends the utterance at a pause, adds its final text to `carried` and starts
// the next one.
bool SharedDecoder::nextUtterance(std::string& carried) {
  decoder_->endUtterance();
  carried = joined(carried, decoder_->hypothesis());
  return decoder_->startUtterance();
}

void SharedDecoder::decodeJob(const Job& job) {
  // A task cancelled while it waited costs nothing: an application that
  // starts and cancels in a loop must not delay the next real session.
  if (job.feed->isCancelled()) return;
  const auto fail = [&](const char* description) { job.delivery.deliver(std::nullopt, std::string(description)); };
  if (!decoder_->startUtterance()) return fail(decoderFailed);
  std::string carried;  // text of the utterances already ended
  std::string sent;     // text of the last partial result
  bool spoke = false;   // the running utterance has heard speech
  for (;;) {
    std::vector<std::int16_t> chunk;
    const Feed::Next next = job.feed->next(chunk);
    if (next != Feed::Next::audio) {
      // Even a cancelled utterance is ended: the next task starts its own.
      decoder_->endUtterance();
      if (next == Feed::Next::overflowed) return fail(fellBehind);
      if (next == Feed::Next::cancelled) return;
      const std::string text = joined(carried, decoder_->hypothesis());
      if (text.empty()) return fail(noSpeech);
      return job.delivery.deliver(RecognitionResult{text, true}, {});
    }
    if (!decoder_->process(chunk.data(), chunk.size())) {
      decoder_->endUtterance();
      return fail(decoderFailed);
    }
    std::string current;
    const bool speaking = decoder_->inSpeech();
    if ((spoke && !speaking) || decoder_->frames() >= longestUtteranceFrames) {
      if (!nextUtterance(carried)) return fail(decoderFailed);
      spoke = false;
    } else {
      spoke = spoke || speaking;
      current = decoder_->hypothesis();
    }
    if (!job.partial) continue;
    // Only a changed text is news.
    std::string text = joined(carried, current);
    if (text == sent) continue;
    sent = std::move(text);
    job.delivery.deliver(RecognitionResult{sent, false}, {});
  }
}

}  // namespace morvik::speech::linux
