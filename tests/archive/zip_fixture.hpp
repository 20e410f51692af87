// What the archive tests share: a source folder per test, a zipFolder call
// that records its outcome, and Python's zipfile as an independent reader.
#pragma once

#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include "velmora/archive/zip_folder.hpp"
#include "velmora/runner/cli_utility.hpp"

namespace velmora::test {

namespace fs = std::filesystem;

class ZipTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("velmora-zip-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root);
    source = root / "Project";
    fs::create_directories(source);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }

  void write(const fs::path& relative, const std::string& content) {
    fs::create_directories((source / relative).parent_path());
    std::ofstream(source / relative, std::ios::binary) << content;
  }

  // Text of words and numbers, compressible about as well as source code.
  static std::string text(std::size_t bytes, unsigned seed = 1) {
    std::mt19937 random(seed);
    std::string out;
    while (out.size() < bytes) out += "block " + std::to_string(random() % 100000) + (random() % 8 ? " " : "\n");
    out.resize(bytes);
    return out;
  }

  // What a call ended with: the archive, or the error with its text and
  // (for a ZipFolderError) its case.
  struct Outcome {
    std::optional<fs::path> archive;
    std::exception_ptr error;
    std::string errorText;
    std::optional<ZipFolderError::Case> errorCase;
    int completions = 0;
    std::vector<float> progress;
  };

  Outcome zip(const fs::path& output, ZipFolderOptions options = {}, const std::string& prefix = "Backup",
              const std::function<void(float)>& onProgress = nullptr) {
    Outcome outcome;
    zipFolder(
        source, output, prefix,
        [&](std::optional<float> fraction) {
          outcome.progress.push_back(fraction.value_or(-1));
          if (onProgress) onProgress(fraction.value_or(-1));
        },
        [&](std::optional<fs::path> archive, std::exception_ptr error) {
          ++outcome.completions;
          outcome.archive = std::move(archive);
          outcome.error = error;
          try {
            if (error) std::rethrow_exception(error);
          } catch (const ZipFolderError& e) {
            outcome.errorCase = e.errorCase();
            outcome.errorText = e.what();
          } catch (const std::exception& e) {
            outcome.errorText = e.what();
          }
        },
        options);
    return outcome;
  }

  // The archive as Python's zipfile reads it, compared with `folder`
  // (inspect_zip.py).
  static nlohmann::json inspect(const fs::path& archive, const fs::path& folder) {
    return nlohmann::json::parse(GenericCLIUtility("/usr/bin/python3")
                                     .run({VELMORA_TESTS_DIR "/archive/inspect_zip.py", archive.string(),
                                           folder.string()}));
  }

  static std::string bytesOf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  static std::vector<std::string> listing(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    return names;
  }

  fs::path root;
  fs::path source;
};

}  // namespace velmora::test
