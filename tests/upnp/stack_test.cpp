#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "upnp/stack.h"

namespace tovaly {
namespace {

// The probe socket the description's ACK names.
TEST(ProbeDatagrams, UpToTheBufferAndNotOneByteMore) {
  const int in = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0), out = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{}, sender{};
  to.sin_family = sender.sin_family = AF_INET;
  to.sin_addr.s_addr = sender.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof to;
  ASSERT_EQ(bind(in, reinterpret_cast<sockaddr*>(&to), len), 0);
  ASSERT_EQ(bind(out, reinterpret_cast<sockaddr*>(&sender), len), 0);
  getsockname(in, reinterpret_cast<sockaddr*>(&to), &len);
  getsockname(out, reinterpret_cast<sockaddr*>(&sender), &len);
  auto pass = [&](const std::string& datagram) {
    EXPECT_EQ(sendto(out, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(datagram.size()));
    std::string text;
    sockaddr_in from{};
    if (!ReceiveProbeText(in, &text, &from)) return std::string("<dropped>");
    EXPECT_EQ(from.sin_port, sender.sin_port);
    return text;
  };
  const std::string full(kMaxProbeText, 'u');
  EXPECT_EQ(pass(full), full);
  EXPECT_EQ(pass(full + "v"), "<dropped>");
  EXPECT_EQ(pass(""), "<dropped>");
  EXPECT_EQ(pass("uuid:next"), "uuid:next");
  close(in);
  close(out);
}

}  // namespace
}  // namespace tovaly
