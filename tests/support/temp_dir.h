// Scratch directories and environment overrides for tests.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>
#include <string>

#include "core/file_access.h"

namespace k730::test {

// A fresh directory below the system's temporary directory, removed with
// everything in it when the test ends.
class TempDir {
 public:
  TempDir() {
    // A name of its own: create_directory fails on one that exists.
    std::random_device seed;
    std::mt19937_64 random(seed());
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      const auto candidate = base / ("k730-test-" + std::to_string(random() % 1000000000000ull));
      std::error_code error;
      if (std::filesystem::create_directory(candidate, error)) path_ = candidate.string();
    }
    if (path_.empty()) std::abort();
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return path_; }
  // The directory with a trailing '/'.
  std::string Prefix() const { return path_ + "/"; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  std::string operator/(const std::string& name) const { return File(name); }

  // Names of the entries in the directory (temporary files included).
  std::set<std::string> Names() const {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(path_))
      names.insert(e.path().filename().string());
    return names;
  }

 private:
  std::string path_;
};

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    hadOld_ = GetEnvironment(name, old_);
    SetEnvironment(name, value);
  }
  ~ScopedEnv() {
    if (hadOld_) {
      SetEnvironment(name_, old_);
    } else {
      UnsetEnvironment(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  bool hadOld_ = false;
  std::string old_;
};

}  // namespace k730::test
