// Every test case runs on a machine of its own: a new KAVRIN_ROOT directory,
// removed afterwards, and the scripted UI pointed at a file inside it.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace kavrin::test {

class FreshRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kavrin-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    root_ = tmpl;
    setenv("KAVRIN_ROOT", root_.c_str(), 1);
    unsetenv("KAVRIN_UI");
    // Whatever a test writes under the user's home (the random seed file, for
    // one) goes to a home of its own, beside the root.
    if (const char* home = std::getenv("HOME")) saved_home_ = home;
    home_ = root_.string() + "-home";
    std::filesystem::create_directories(home_);
    setenv("HOME", home_.c_str(), 1);
  }

  void TearDown() override {
    unsetenv("KAVRIN_ROOT");
    unsetenv("KAVRIN_UI");
    if (saved_home_.empty()) {
      unsetenv("HOME");
    } else {
      setenv("HOME", saved_home_.c_str(), 1);
    }
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
    std::filesystem::remove_all(home_, ec);
  }

  const std::filesystem::path& root() const { return root_; }

  // Points KAVRIN_UI at a script with these answers ("ok TEXT", "ok", "cancel").
  std::filesystem::path UseScript(const std::vector<std::string>& answers) {
    const auto file = root_ / ("ui-script-" + std::to_string(++scripts_) + ".txt");
    std::ofstream out(file);
    for (const auto& line : answers) out << line << '\n';
    out.close();
    setenv("KAVRIN_UI", ("script:" + file.string()).c_str(), 1);
    script_ = file;
    return file;
  }

  // The lines the scripted UI logged for the current script.
  std::vector<std::string> ScriptLog() const {
    std::vector<std::string> lines;
    std::ifstream in(script_.string() + ".log");
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  std::filesystem::path root_;
  std::filesystem::path script_;
  std::filesystem::path home_;
  std::string saved_home_;
  int scripts_ = 0;
};

}  // namespace kavrin::test
