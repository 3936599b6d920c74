// Whether a response and its body make a whole image, decided without a
// server: statuses, Content-Range values, header lines and body lengths.
#include <gtest/gtest.h>

#include "quillon/net/http_response_head.h"
#include "quillon/net/image_download_check.h"

namespace quillon {
namespace {

HttpResponse response(int status, std::int64_t length, std::optional<std::string> range = std::nullopt) {
  HttpResponse r;
  r.status_code = status;
  r.expected_content_length = length;
  r.content_range = std::move(range);
  return r;
}

TEST(ImageDownloadCheck, OnlyTheWholeImageIsAccepted) {
  struct Case {
    HttpResponse response;
    bool accepted;
    std::int64_t expected_length;
  };
  const Case cases[] = {
      {response(200, 100), true, 100},
      {response(200, -1), true, -1},
      {response(206, 100, "bytes 0-99/100"), true, 100},
      {response(206, -1, "bytes 0-99/100"), true, 100},  // chunked: the range still says how much
      {response(206, 100, "bytes  0-99/100"), true, 100},
      {response(404, 100), false, 100},
      {response(206, 100), false, 100},                       // no range at all
      {response(206, 90, "bytes 10-99/100"), false, 90},      // not from the start
      {response(206, 50, "bytes 0-49/100"), false, 50},       // not to the end
      {response(206, 100, "bytes 0-99/*"), false, 100},       // whole of what?
      {response(206, 100, "bytes 0-99/150"), false, 100},
      {response(206, 50, "bytes 0-99/100"), false, 50},       // length and range disagree
      {response(206, 100, "bytes */100"), false, 100},
      {response(206, 100, "items 0-99/100"), false, 100},
      {response(206, 100, "bytes 0-99/100x"), false, 100},
      {response(206, 100, "bytes -0-99/100"), false, 100},
      {response(206, 100, "bytes 0-99999999999999999999/100"), false, 100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.response.status_code << " "
                                    << c.response.content_range.value_or("(none)"));
    ImageDownloadCheck check;
    EXPECT_EQ(!check.response(c.response).has_value(), c.accepted);
    EXPECT_EQ(check.expected_length(), c.expected_length);
  }
}

TEST(ImageDownloadCheck, BodyMustBringExactlyTheAnnouncedLength) {
  ImageDownloadCheck check;
  ASSERT_FALSE(check.response(response(206, -1, "bytes 0-99/100")));
  check.body(60);
  EXPECT_EQ(check.finish(), "body ended after 60 of 100 bytes");
  check.body(50);
  EXPECT_EQ(check.finish(), "body of 110 bytes where 100 were announced");

  // A response that comes again starts the count afresh.
  ASSERT_FALSE(check.response(response(200, -1)));
  EXPECT_EQ(check.received_length(), 0);
  check.body(7);
  EXPECT_EQ(check.finish(), std::nullopt);
}

TEST(HttpResponseHead, KeepsTheHeadersOfTheLastResponse) {
  HttpResponseHead head;
  head.take_line("HTTP/1.1 302 Found\r\n");
  head.take_line("content-range: bytes 0-1/2\r\n");
  head.take_line("Content-Disposition: attachment; filename=old.bin\r\n");
  head.take_line("HTTP/1.1 206 Partial Content\r\n");
  head.take_line("Content-Range:\t bytes 0-99/100 \r\n");
  head.take_line("Content-Ranges: nothing\r\n");
  head.take_line("\r\n");
  EXPECT_EQ(head.content_range(), "bytes 0-99/100");
  EXPECT_EQ(head.content_disposition(), std::nullopt);
}

}  // namespace
}  // namespace quillon
