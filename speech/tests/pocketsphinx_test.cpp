// The packaged English model through the Linux layer, broken and whole.
#include "speech/linux/pocketsphinx_speech.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <vector>

#include "channel/manual_loop.h"
#include "speech/linux/model_definition.h"

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
  // Each damage to a fresh copy of the model.
  const auto restore = [&] {
    fs::copy(packaged.acousticModel, root / "hmm", fs::copy_options::overwrite_existing | fs::copy_options::recursive);
  };
  ::testing::internal::CaptureStderr();
  // A cut model definition crashes PocketSphinx (each damage to it is
  // checked below), garbage ends the process, and a header that lies makes
  // libc abort loudly.
  fs::resize_file(root / "hmm" / "mdef", 100000);
  EXPECT_EQ(speech.makeRecognizer("en-US"), nullptr);
  restore();
  fs::resize_file(root / "hmm" / "means", 0);
  EXPECT_EQ(speech.makeRecognizer("en-US"), nullptr);
  restore();
  std::fstream(root / "hmm" / "sendump", std::ios::in | std::ios::out | std::ios::binary).seekp(179).write("Z", 1);
  EXPECT_EQ(speech.makeRecognizer("en-US"), nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  restore();
  // Started by a parent that ignores SIGCHLD, too.
  const auto children = std::signal(SIGCHLD, SIG_IGN);
  EXPECT_NE(speech.makeRecognizer("en-US"), nullptr) << "the failure is not kept";
  std::signal(SIGCHLD, children);
  EXPECT_EQ(speech.makeRecognizer("zh-CN"), nullptr);
  fs::remove_all(root);
}

// PocketSphinx carves the file by the counts of its header, so each of these
// made it read past its buffer, and whether that crashed depended on the heap.
TEST(PocketSphinxModel, ADamagedModelDefinitionIsRefusedBeforePocketSphinxReadsIt) {
  std::ifstream in(packagedEnglishModel().acousticModel / "mdef", std::ios::binary);
  const std::vector<unsigned char> whole{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  ASSERT_EQ(whole.size(), 2959176u) << "the offsets below are those of Debian 12's model";
  const auto with = [&](std::size_t at, std::vector<unsigned char> bytes) {
    std::vector<unsigned char> damaged = whole;
    std::copy(bytes.begin(), bytes.end(), damaged.begin() + static_cast<std::ptrdiff_t>(at));
    return damaged;
  };
  auto longer = whole;
  longer.push_back(0);
  const struct {
    const char* damage;
    std::vector<unsigned char> file;
  } cases[] = {
      {"cut in the context tree", {whole.begin(), whole.begin() + 100000}},
      {"cut by its last byte", {whole.begin(), whole.end() - 1}},
      {"one byte longer", longer},
      {"a tree node's children past the tree", with(823118, {0x9a, '(', '^', 0x9a})},
      {"a phone's senone sequence past the sequences", with(1138088, {0x8c, 0x72, 0, 0})},
      {"a senone past the senones", with(2783232, {0x06, 0x14})},
      {"a header that claims 2^31 - 1 phones", with(1068, {0xff, 0xff, 0xff, 0x7f})},
      {"a header whose description runs past the end", with(8, {0xff, 0xff, 0xff, 0x7f})},
  };
  EXPECT_TRUE(modelDefinitionHoldsTogether(whole));
  for (const auto& c : cases) EXPECT_FALSE(modelDefinitionHoldsTogether(c.file)) << c.damage;
  const std::string text = "0.3\n42 n_base\n";
  EXPECT_TRUE(modelDefinitionHoldsTogether(std::span(reinterpret_cast<const unsigned char*>(text.data()), text.size())))
      << "a text definition is PocketSphinx's to read";
}

}  // namespace
}  // namespace morvik::speech::linux
