// The launcher's text rules: which page addresses it opens, what the menu shows, where its files
// lie.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "launcher/launcher_files.hpp"
#include "launcher/page_url.hpp"
#include "launcher/platform/posix/data_root.hpp"

namespace tl = tessaryn::launcher;
using namespace std::string_literals;

namespace {

struct UrlCase {
  std::string file;                  // bytes of tessaryn-url as read
  std::optional<std::string> opens;  // what the launcher opens, or none
};

const UrlCase kUrlCases[] = {
    {"http://127.0.0.1:8765", "http://127.0.0.1:8765"},
    {"http://127.0.0.1:8765/", "http://127.0.0.1:8765/"},
    {"http://127.0.0.1:8765\r\n", "http://127.0.0.1:8765"},
    {"http://127.0.0.1:8765\n\n\r", "http://127.0.0.1:8765"},
    {"http://127.0.0.1:8765/\r\n", "http://127.0.0.1:8765/"},
    {"http://127.0.0.1:1", "http://127.0.0.1:1"},
    {"http://127.0.0.1:", std::nullopt},              // stops after the colon
    {"http://127.0.0.1:/", std::nullopt},
    {"http://127.0.0.1:8765//", std::nullopt},
    {"http://127.0.0.1:8765/index.html", std::nullopt},  // a path
    {"http://127.0.0.1:8765/?open=1", std::nullopt},     // a query
    {"http://127.0.0.1:8765?x", std::nullopt},
    {"http://127.0.0.1:8765#top", std::nullopt},
    {"http://127.0.0.1:87a5", std::nullopt},
    {"http://127.0.0.1:-80", std::nullopt},
    {"http://127.0.0.1:+80", std::nullopt},
    {"http://127.0.0.1: 8765", std::nullopt},
    {"http://127.0.0.1:8765 ", std::nullopt},            // only line ends are stripped
    {" http://127.0.0.1:8765", std::nullopt},
    {"http://127.0.0.1:8765\r\nhttp://evil.example:80", std::nullopt},
    {"http://localhost:8765", std::nullopt},             // other hosts
    {"http://127.0.0.2:8765", std::nullopt},
    {"http://127.0.0.1.evil.example:8765", std::nullopt},
    {"http://evil.example@127.0.0.1:8765", std::nullopt},
    {"http://127.0.0.1@evil.example:8765", std::nullopt},
    {"https://127.0.0.1:8765", std::nullopt},
    {"HTTP://127.0.0.1:8765", std::nullopt},
    {"file:///etc/passwd", std::nullopt},
    {"http://[::1]:8765", std::nullopt},
    {"", std::nullopt},
    {"\r\n", std::nullopt},
    {"http://127.0.0.1:8765\0"s, std::nullopt},                       // NUL bytes
    {"http://127.0.0.1:8765\0/evil"s, std::nullopt},
    {"\0http://127.0.0.1:8765"s, std::nullopt},
    {"http://127.0.0.1:" + std::string(238, '1'), "http://127.0.0.1:" + std::string(238, '1')},  // 255 bytes
    {"http://127.0.0.1:" + std::string(239, '1'), std::nullopt},      // 256 bytes: longer than read
    {"http://127.0.0.1:8765" + std::string(10 * 1024, '0'), std::nullopt},  // a 10 KB line
};

}  // namespace

TEST(PageUrl, FileContentsTable) {
  for (const UrlCase& c : kUrlCases) {
    // The reader never hands over more than the limit and one byte.
    std::string read = c.file.substr(0, tl::kPageUrlByteLimit + 1);
    EXPECT_EQ(tl::page_url_from_file(read), c.opens) << "file: " << c.file.substr(0, 60);
  }
}

TEST(PageUrl, RuleOnBareText) {
  EXPECT_TRUE(tl::is_agent_page_url("http://127.0.0.1:0"));
  EXPECT_FALSE(tl::is_agent_page_url("http://127.0.0.1:8765\n"));
  EXPECT_FALSE(tl::is_agent_page_url("http://127.0.0.1"));
}

TEST(VersionText, FileContentsTable) {
  struct Case {
    std::string file;
    std::optional<std::string> shows;
  };
  const Case cases[] = {
      {"Tessaryn 1.2.3\r\n", "Tessaryn 1.2.3"},
      {"1.0", "1.0"},
      {"", std::nullopt},
      {"\r\n\n", std::nullopt},
      {"1.0\0junk"s, "1.0"},
      {"\0 1.0"s, std::nullopt},
      {"caf\xe9", "caf\xc3\xa9"},  // bytes widened one to one
      {std::string(200, 'v'), std::string(127, 'v')},
      {std::string(126, 'v') + "\r\n", std::string(126, 'v')},
  };
  for (const Case& c : cases) {
    std::string read = c.file.substr(0, tl::kVersionByteLimit + 1);
    EXPECT_EQ(tl::version_from_file(read), c.shows) << "file: " << c.file.substr(0, 40);
  }
}

TEST(LauncherFiles, PathsUnderTheDataRoot) {
  tl::LauncherFiles posix("/home/u/.local/share", '/');
  EXPECT_EQ(posix.folder(), "/home/u/.local/share/Tessaryn");
  EXPECT_EQ(posix.file(tl::kPageUrlFile), "/home/u/.local/share/Tessaryn/tessaryn-url");
  EXPECT_EQ(posix.file(tl::kSrtStopRequest), "/home/u/.local/share/Tessaryn/runtime/app/static/srt_stop.request");
  tl::LauncherFiles windows("C:\\Users\\u\\AppData\\Local", '\\');
  EXPECT_EQ(windows.file(tl::kNdiStopRequest),
            "C:\\Users\\u\\AppData\\Local\\Tessaryn\\runtime\\app\\static\\ndi_stop.request");
  tl::LauncherFiles none(std::nullopt, '/');
  EXPECT_EQ(none.folder(), std::nullopt);
  EXPECT_EQ(none.file(tl::kPageUrlFile), std::nullopt);
}

TEST(LauncherFiles, PathsMustFitThePathBuffer) {
  // "/Tessaryn/tessaryn-url" is 22 units; 259 units with the terminator still fit, 260 do not.
  const std::string suffix = "/Tessaryn/tessaryn-url";
  std::string fits(259 - suffix.size(), 'a');
  fits[0] = '/';
  EXPECT_TRUE(tl::LauncherFiles(fits, '/').file(tl::kPageUrlFile).has_value());
  EXPECT_FALSE(tl::LauncherFiles(fits + "a", '/').file(tl::kPageUrlFile).has_value());
  // Units are counted as UTF-16 counts them: two-byte and three-byte characters are one unit each,
  // a four-byte character two.
  EXPECT_EQ(tl::utf16_units("a\xc3\xa9\xe2\x82\xac\xf0\x9f\x8e\xb2"), 5u);
  EXPECT_EQ(tl::utf16_units("\xff\xc3"), 2u);
  std::string accented = "/";
  while (tl::utf16_units(accented + suffix) < 260) accented += "\xc3\xa9";
  EXPECT_FALSE(tl::LauncherFiles(accented, '/').file(tl::kPageUrlFile).has_value());
  EXPECT_TRUE(tl::LauncherFiles(accented.substr(0, accented.size() - 2), '/').file(tl::kPageUrlFile).has_value());
}

TEST(DataRoot, EnvironmentTable) {
  namespace tp = tessaryn::launcher::posix;
  struct Case {
    const char* localappdata;
    const char* xdg_data_home;
    const char* home;
    std::optional<std::string> root;
  };
  const Case cases[] = {
      {"/data/local", "/data/xdg", "/home/u", "/data/local"},
      {nullptr, "/data/xdg", "/home/u", "/data/xdg"},
      {nullptr, nullptr, "/home/u", "/home/u/.local/share"},
      {nullptr, nullptr, "/", "/.local/share"},
      {"", "/data/xdg", "/home/u", "/data/xdg"},         // empty counts as unset
      {"relative", nullptr, "/home/u", "/home/u/.local/share"},  // relative too
      {nullptr, "relative/xdg", "/home/u", "/home/u/.local/share"},
      {nullptr, nullptr, "relative-home", std::nullopt},
      {nullptr, nullptr, nullptr, std::nullopt},
      {"", "", "", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tp::data_root_from(c.localappdata, c.xdg_data_home, c.home), c.root)
        << (c.localappdata ? c.localappdata : "(unset)") << " " << (c.xdg_data_home ? c.xdg_data_home : "(unset)")
        << " " << (c.home ? c.home : "(unset)");
  }
}
