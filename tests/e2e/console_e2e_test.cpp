// End to end on a real pseudo-terminal: the control on the posix platform,
// and the quorvalen console driven by a script on its standard input.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "quorvalen/posix_platform.h"
#include "quorvalen/quorvalen.h"
#include "support/pty_phone.h"

namespace quorvalen {
namespace {

std::string Temp(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir ? dir : "/tmp") + "/quorvalen-e2e-" + std::to_string(getpid()) + "-" +
         name;
}

TEST(ConsoleEndToEnd, AScriptOpensAsksAndCloses) {
  PtyPhone phone("QV-CONSOLE");
  ASSERT_TRUE(phone.Ok());
  const std::string script = Temp("script"), out = Temp("out");
  {
    std::ofstream s(script);
    s << "SPEC>OPEN\n"
         "AT+CGMM\n"
         "{\"wait\": \"idle\", \"timeout_ms\": 20000}\n"
         "{\"get\": \"AT_DataRead\"}\n"
         "{\"set\": \"TimeOut\", \"value\": 1234}\n"
         "{\"get\": \"TimeOut\"}\n"
         "{\"command\": \"SPEC>SEND:\\u0000\\u00ff\"}\n"
         "{\"oops\n"
         "SPEC>CLOSE\n";
  }
  std::string command = std::string(QUORVALEN_CLI) + " console --port " + phone.SlavePath() +
                        " --set CommandDelay=5 < " + script + " > " + out;
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::ifstream o(out);
  std::vector<nlohmann::json> lines;
  for (std::string line; std::getline(o, line);) lines.push_back(nlohmann::json::parse(line));
  std::remove(script.c_str());
  std::remove(out.c_str());

  auto ack = [](const char* c, const char* a) {
    return nlohmann::json{{"command", c}, {"answer", a}};
  };
  std::vector<nlohmann::json> expected = {
      ack("STACK+", "1"),
      ack("STACK+", "2"),
      ack("PORT COUNT", "1"),
      ack("SPEC>OPEN", "OK"),
      ack("STACK-", "1"),
      ack("AT+CGMM", "QV-CONSOLE"),
      ack("AT+CGMM", "OK"),
      ack("STACK-", "0"),
      {{"idle", true}},
      {{"property", "AT_DataRead"}, {"value", "QV-CONSOLE\r\n"}},
      {{"property", "TimeOut"}, {"value", 1234}},
      ack("STACK+", "1"),
  };
  ASSERT_GE(lines.size(), expected.size() + 4);
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(lines[i], expected[i]) << i;
  EXPECT_TRUE(lines[12].contains("error"));
  EXPECT_NE(lines[12]["error"].get<std::string>().find("line 8"), std::string::npos);
  // The raw send and the close run after the end of input, while the
  // console drains the queue.
  EXPECT_EQ(lines.back(), ack("STACK-", "0"));
  EXPECT_NE(std::find(lines.begin(), lines.end(), ack("SPEC>CLOSE", "OK")), lines.end());
  EXPECT_NE(phone.Received().find(std::string("\x00\xFF", 2)), std::string::npos);
}

TEST(ConsoleEndToEnd, UsageErrorsExitNonZero) {
  std::string bin = QUORVALEN_CLI;
  EXPECT_NE(
      std::system((bin + " console --set NoSuchThing=1 < /dev/null > /dev/null 2>&1").c_str()), 0);
  EXPECT_NE(std::system((bin + " console --set TimeOut=soon < /dev/null > /dev/null 2>&1").c_str()),
            0);
  EXPECT_NE(std::system((bin + " console --bogus < /dev/null > /dev/null 2>&1").c_str()), 0);
  EXPECT_EQ(std::system((bin + " console < /dev/null > /dev/null 2>&1").c_str()), 0);
}

}  // namespace
}  // namespace quorvalen
