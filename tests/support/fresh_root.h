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
  }

  void TearDown() override {
    unsetenv("KAVRIN_ROOT");
    unsetenv("KAVRIN_UI");
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
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
  int scripts_ = 0;
};

}  // namespace kavrin::test
