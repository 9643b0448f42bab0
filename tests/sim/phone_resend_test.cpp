// A phone in a fault run re-sends an answer block nobody acknowledged.
#include <gtest/gtest.h>

#include "quorvalen/byte_text.h"
#include "sim_host.h"

namespace quorvalen::sim {
namespace {

TEST(SimulatedPhoneResend, AnUnacknowledgedAnswerComesAgainUntilAcknowledged) {
  PhoneOptions options;
  std::string error;
  options.faults = *ParseFaultPlan("resend=200", &error);
  SimHost host(options);
  host.Exchange("AT^SBFB=1\r");
  host.Speed(56000);
  const std::string connect =
      HexToText("80001A100040064600136B01CB31410611D49A770050DA3F471F");
  std::string first = host.Exchange(host.Block(connect), 150);
  ASSERT_EQ(first.substr(0, 5), std::string(kBfbAckFrame));
  const std::string answer = first.substr(5);
  // No acknowledgement from the host: the same block again, and again.
  EXPECT_EQ(host.Listen(200), answer);
  EXPECT_EQ(host.Listen(200), answer);
  EXPECT_EQ(host.Phone().Count().resent_blocks, 2u);
  // Acknowledged: silence.
  EXPECT_EQ(host.Exchange(std::string(kBfbAckFrame), 1000), "");
  EXPECT_EQ(host.Phone().Count().resent_blocks, 2u);
}

}  // namespace
}  // namespace quorvalen::sim
