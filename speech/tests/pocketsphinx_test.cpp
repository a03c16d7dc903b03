// The packaged English model through the Linux layer, broken and whole.
#include "speech/linux/pocketsphinx_speech.h"

#include <gtest/gtest.h>

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
  // A cut model definition crashes PocketSphinx, garbage ends the process.
  fs::resize_file(root / "hmm" / "mdef", 100000);
  EXPECT_EQ(speech.makeRecognizer("en-US"), nullptr);
  fs::resize_file(root / "hmm" / "means", 0);
  EXPECT_EQ(speech.makeRecognizer("en-US"), nullptr);
  fs::copy(packaged.acousticModel, root / "hmm", fs::copy_options::overwrite_existing | fs::copy_options::recursive);
  EXPECT_NE(speech.makeRecognizer("en-US"), nullptr) << "the failure is not kept";
  EXPECT_EQ(speech.makeRecognizer("zh-CN"), nullptr);
  fs::remove_all(root);
}

}  // namespace
}  // namespace morvik::speech::linux
