#include "quillon/net/suggested_file_name.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace quillon {
namespace {

struct NameCase {
  const char* what;
  std::optional<std::string> content_disposition;
  std::string url;
  std::string expected;
};

// Every name must end up a plain base name inside the cache folder,
// whatever the server or the URL says.
TEST(SuggestedFileName, HeaderThenUrlThenFallbackAlwaysAPlainName) {
  const std::string long_name(300, 'a');
  const NameCase cases[] = {
      {"quoted", "attachment; filename=\"fw 1.2.bin\"", "http://h/x.bin", "fw 1.2.bin"},
      {"plain token", "attachment; filename=fw.bin; size=3", "http://h/x.bin", "fw.bin"},
      {"parameter name in any case", "attachment; FileName=fw.bin", "http://h/x.bin", "fw.bin"},
      {"escaped quote", R"(attachment; filename="a\"b.bin")", "http://h/x.bin", "a\"b.bin"},
      {"semicolon inside quotes", "attachment; filename=\"a;b.bin\"", "http://h/x.bin", "a;b.bin"},
      {"filename* before filename", "attachment; filename=\"old.bin\"; filename*=UTF-8''n%C3%A9w.bin",
       "http://h/x.bin", "n\xC3\xA9w.bin"},
      {"filename* in an unknown charset", "attachment; filename*=koi8-r''x%E1.bin; filename=ok.bin",
       "http://h/x.bin", "ok.bin"},
      {"relative climb", "attachment; filename=\"../../evil\"", "http://h/x.bin", "evil"},
      {"absolute path", "attachment; filename=\"/etc/passwd\"", "http://h/x.bin", "passwd"},
      {"windows path", R"(attachment; filename="C:\\dir\\fw.bin")", "http://h/x.bin", "fw.bin"},
      {"dot-dot only", "attachment; filename=\"..\"", "http://h/x.bin", "x.bin"},
      {"path ending in a separator", "attachment; filename=\"dir/\"", "http://h/x.bin", "x.bin"},
      {"control characters", "attachment; filename=\"a\x01\x1f\x7f.bin\"", "http://h/x.bin", "a.bin"},
      {"blank name", "attachment; filename=\"  \"", "http://h/x.bin", "x.bin"},
      {"no filename parameter", "inline", "http://h/dir/x.bin", "x.bin"},
      {"query and fragment", std::nullopt, "http://h/dir/app.bin?v=2#top", "app.bin"},
      {"percent-encoded segment", std::nullopt, "http://h/my%20fw.bin", "my fw.bin"},
      {"encoded separator", std::nullopt, "http://h/a%2F..%2Fb.bin", "b.bin"},
      {"encoded dot-dot", std::nullopt, "http://h/%2e%2e", "firmware.bin"},
      {"encoded NUL", std::nullopt, "http://h/a%00b", "ab"},
      {"URL ending in a slash", std::nullopt, "http://h/images/", "firmware.bin"},
      {"URL without a path", std::nullopt, "http://h:8080", "firmware.bin"},
      {"too long", "attachment; filename=" + long_name, "http://h/x.bin", std::string(255, 'a')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto header = c.content_disposition ? std::optional<std::string_view>(*c.content_disposition)
                                              : std::nullopt;
    const auto name = suggested_file_name(header, c.url);
    EXPECT_EQ(name, c.expected);
    EXPECT_EQ(name.find_first_of("/\\"), std::string::npos);
    EXPECT_NE(name, "..");
  }
}

TEST(SuggestedFileName, LengthCutKeepsWholeUtf8Characters) {
  // 254 ASCII bytes then a two-byte character: byte 255 would split it.
  const std::string name = std::string(254, 'a') + "\xC3\xA9" + "tail";
  const auto safe = sanitize_file_name(name);
  EXPECT_EQ(safe, std::string(254, 'a'));
}

TEST(SuggestedFileName, UnterminatedQuoteTakesTheRest) {
  EXPECT_EQ(content_disposition_filename("attachment; filename=\"fw.bin"), "fw.bin");
  EXPECT_EQ(content_disposition_filename("attachment"), std::nullopt);
  EXPECT_EQ(content_disposition_filename("attachment; filename"), std::nullopt);
}

}  // namespace
}  // namespace quillon
