// The packaged English model through the Linux layer, broken and whole.
#include "speech/linux/pocketsphinx_speech.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

#include "channel/manual_loop.h"

namespace morvik::speech::linux {
namespace {

namespace fs = std::filesystem;

TEST(PocketSphinxModel, ABrokenModelHasNoRecognizerAndIsTriedAgain) {
  const ModelFiles packaged = packagedEnglishModel();
  const fs::path root = fs::path(::testing::TempDir()) / "broken-model";
  fs::remove_all(root);
  fs::create_directories(root / "hmm");
  fs::copy(packaged.acousticModel, root / "hmm");
  const ModelFiles copy{root / "hmm", packaged.languageModel, packaged.dictionary};
  channel::ManualLoop loop;
  PocketSphinxSpeech speech(loop, copy);
  const auto damage = [&](const char* file, std::streamoff at, std::string_view bytes) {
    fs::copy(packaged.acousticModel, root / "hmm", fs::copy_options::overwrite_existing | fs::copy_options::recursive);
    std::fstream(root / "hmm" / file, std::ios::in | std::ios::out | std::ios::binary)
        .seekp(at)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  };
  ::testing::internal::CaptureStderr();
  // A cut model definition crashes PocketSphinx, garbage ends the process,
  // four bytes of the model definition crash it only once it builds the
  // dictionary's triphones, and a header that lies makes libc abort loudly.
  fs::resize_file(root / "hmm" / "mdef", 100000);
  EXPECT_EQ(speech.makeRecognizer("en-US"), nullptr);
  fs::resize_file(root / "hmm" / "means", 0);
  EXPECT_EQ(speech.makeRecognizer("en-US"), nullptr);
  damage("mdef", 823118, "\x9a(^\x9a");
  EXPECT_EQ(speech.makeRecognizer("en-US"), nullptr);
  damage("sendump", 179, "Z");
  EXPECT_EQ(speech.makeRecognizer("en-US"), nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  fs::copy(packaged.acousticModel, root / "hmm", fs::copy_options::overwrite_existing | fs::copy_options::recursive);
  // Started by a parent that ignores SIGCHLD, too.
  const auto children = std::signal(SIGCHLD, SIG_IGN);
  EXPECT_NE(speech.makeRecognizer("en-US"), nullptr) << "the failure is not kept";
  std::signal(SIGCHLD, children);
  EXPECT_EQ(speech.makeRecognizer("zh-CN"), nullptr);
  fs::remove_all(root);
}

}  // namespace
}  // namespace morvik::speech::linux
