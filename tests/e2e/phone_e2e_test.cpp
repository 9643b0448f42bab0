// quorvalen-phone on a real pseudo-terminal, driven by quorvalen console.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "e2e/phone_process.h"

namespace quorvalen {
namespace {

std::vector<nlohmann::json> RunConsole(const std::string& args, const std::string& script) {
  const std::string dir = ::testing::TempDir();
  const std::string in = dir + "/console-in-" + std::to_string(getpid());
  const std::string out = in + ".out";
  std::ofstream(in) << script;
  std::string command = std::string(QUORVALEN_CLI) + " console " + args + " < " + in + " > " + out;
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  std::vector<nlohmann::json> lines;
  std::ifstream o(out);
  for (std::string line; std::getline(o, line);) lines.push_back(nlohmann::json::parse(line));
  std::remove(in.c_str());
  std::remove(out.c_str());
  return lines;
}

std::vector<std::pair<std::string, std::string>> Answers(const std::vector<nlohmann::json>& lines) {
  std::vector<std::pair<std::string, std::string>> answers;
  for (const auto& j : lines) {
    if (j.contains("command") && j["command"] != "STACK+" && j["command"] != "STACK-") {
      answers.emplace_back(j["command"], j["answer"]);
    }
  }
  return answers;
}

// The last answer to a command, or "(none)".
std::string AnswerTo(const std::vector<std::pair<std::string, std::string>>& answers,
                     const std::string& command) {
  for (auto it = answers.rbegin(); it != answers.rend(); ++it) {
    if (it->first == command) return it->second;
  }
  return "(none)";
}

TEST(PhoneEndToEnd, TheConsoleTalksToThePhoneThroughItsLink) {
  const std::string link = ::testing::TempDir() + "/qv-phone-link-" + std::to_string(getpid());
  PhoneProcess phone({"--sample", "--model", "QV-E2E", "--link", link});
  ASSERT_EQ(phone.Device().rfind("/dev/", 0), 0u) << phone.Device();
  char target[256] = {};
  ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(phone.Device(), target);

  auto answers = Answers(RunConsole("--port " + link, "SPEC>OPEN\nAT+CGMM\nAT+CGMI\nSPEC>CLOSE\n"));
  // The probe's attempts first (more than one when the machine is busy).
  ASSERT_FALSE(answers.empty());
  EXPECT_EQ(answers[0], (std::pair<std::string, std::string>{"PORT COUNT", "1"}));
  std::erase_if(answers, [](const auto& answer) { return answer.first == "PORT COUNT"; });
  EXPECT_EQ(answers,
            (std::vector<std::pair<std::string, std::string>>{{"SPEC>OPEN", "OK"},
                                                              {"AT+CGMM", "QV-E2E"},
                                                              {"AT+CGMM", "OK"},
                                                              {"AT+CGMI", "Quorvalen Labs"},
                                                              {"AT+CGMI", "OK"},
                                                              {"SPEC>CLOSE", "OK"}}));
  // A second client after the first one left, after a replug.
  phone.Signal(SIGUSR1);
  answers = Answers(RunConsole("--port " + link, "SPEC>OPEN\nAT\nSPEC>CLOSE\n"));
  EXPECT_EQ(AnswerTo(answers, "SPEC>OPEN"), "OK");
  EXPECT_EQ(phone.Stop(), 0);
  EXPECT_NE(access(link.c_str(), F_OK), 0);  // the link is gone
}

// Over infrared: the phone's two services on two pseudo-terminals, the
// console's infrared device on them.
TEST(PhoneEndToEnd, TheInfraredRoadOverTwoPseudoTerminals) {
  PhoneProcess phone({"--sample", "--infrared"});
  ASSERT_FALSE(phone.ObexDevice().empty());
  const auto answers = Answers(RunConsole(
      "--irda-comm " + phone.Device() + " --irda-obex " + phone.ObexDevice() + " --set ComType=1",
      "SPEC>OPEN\nAT+CGMM\nOBEX>DIR:\nOBEX>GET:readme.txt\n"
      "{\"wait\": \"idle\", \"timeout_ms\": 30000}\nAT\nSPEC>CLOSE\n"));
  auto answer = [&](const std::string& command) { return AnswerTo(answers, command); };
  EXPECT_EQ(answer("SPEC>OPEN"), "OK");
  EXPECT_EQ(answer("AT+CGMM"), "OK");
  EXPECT_EQ(answer("SPEC>SET_OBEX"), "OK");
  EXPECT_EQ(answer("OBEX>DIR:").substr(0, 2), "A0");
  EXPECT_EQ(answer("OBEX>GET:readme.txt").substr(0, 2), "A0");
  EXPECT_EQ(answer("SPEC>SET_AT"), "OK");
  EXPECT_EQ(answer("AT"), "OK");
  EXPECT_EQ(answer("SPEC>CLOSE"), "OK");
  EXPECT_EQ(phone.Stop(), 0);
}

TEST(PhoneEndToEnd, TheCableRoadOverAPseudoTerminal) {
  const std::string root = ::testing::TempDir() + "/qv-phone-root-" + std::to_string(getpid());
  ASSERT_EQ(std::system(("rm -rf " + root + " && mkdir -p " + root).c_str()), 0);
  std::ofstream(root + "/hello.txt") << "Hello from the phone\n";
  for (int family : {0, 1, 2}) {
    PhoneProcess phone({"--root", root, "--family", std::to_string(family)});
    ASSERT_FALSE(phone.Device().empty());
    const std::string script =
        "SPEC>OPEN\n"
        "OBEX>DIR:\n"
        "{\"wait\": \"idle\", \"timeout_ms\": 30000}\n"
        "{\"get\": \"OBEX_DataRead\"}\n"
        "OBEX>GET:hello.txt\n"
        "{\"wait\": \"idle\", \"timeout_ms\": 30000}\n"
        "{\"get\": \"OBEX_DataRead\"}\n"
        "{\"set\": \"OBEX_DataSend\", \"value\": \"\\u0000\\u00ff bytes\"}\n"
        "OBEX>PUT:up.bin\n"
        "AT+CGMM\n"
        "SPEC>CLOSE\n";
    auto lines = RunConsole(
        "--port " + phone.Device() + " --set MobileType=" + std::to_string(family), script);
    auto answers = Answers(lines);
    auto answer_to = [&](const std::string& command) { return AnswerTo(answers, command); };
    EXPECT_EQ(answer_to("SPEC>OPEN"), "OK") << family;
    EXPECT_EQ(answer_to("OBEX>DIR:").substr(0, 2), "A0") << family;
    EXPECT_EQ(answer_to("OBEX>GET:hello.txt").substr(0, 2), "A0") << family;
    EXPECT_EQ(answer_to("OBEX>PUT:up.bin"), "A00003") << family;
    EXPECT_EQ(answer_to("AT+CGMM"), "OK") << family;
    EXPECT_EQ(answer_to("SPEC>CLOSE"), "OK") << family;
    std::vector<std::string> values;
    for (const auto& j : lines) {
      if (j.contains("property")) values.push_back(j["value"]);
    }
    ASSERT_EQ(values.size(), 2u);
    EXPECT_NE(values[0].find("<file name=\"hello.txt\" size=\"21\""), std::string::npos);
    EXPECT_EQ(values[1], "Hello from the phone\n");
    std::ifstream up(root + "/up.bin", std::ios::binary);
    std::string stored((std::istreambuf_iterator<char>(up)), std::istreambuf_iterator<char>());
    EXPECT_EQ(stored, std::string("\x00\xFF bytes", 8)) << family;
    std::remove((root + "/up.bin").c_str());
    EXPECT_EQ(phone.Stop(), 0);
  }
  std::system(("rm -rf " + root).c_str());
}

// A client of the phone's pseudo-terminal: opens the slave, writes a line,
// collects what comes back until the marker (or 5 s), and closes it.
std::string SayAndClose(const std::string& device, const std::string& line,
                        const std::string& marker) {
  const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) return "(cannot open)";
  termios raw{};
  tcgetattr(fd, &raw);
  cfmakeraw(&raw);
  cfsetspeed(&raw, B19200);
  tcsetattr(fd, TCSANOW, &raw);
  std::string got;
  if (::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (got.find(marker) == std::string::npos && std::chrono::steady_clock::now() < end) {
      pollfd in{fd, POLLIN, 0};
      char buffer[256];
      if (::poll(&in, 1, 50) > 0) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) got.append(buffer, static_cast<size_t>(n));
      }
    }
  }
  ::close(fd);
  return got;
}

// A client that switches with the standard AT+CPROT=0 and closes the line
// hangs up: the next one finds the phone in AT mode.
TEST(PhoneEndToEnd, ClosingTheLineEndsTheStandardSwitchsConnection) {
  PhoneProcess phone({"--sample"});
  ASSERT_FALSE(phone.Device().empty());
  EXPECT_NE(SayAndClose(phone.Device(), "AT+CPROT=0\r", "CONNECT").find("CONNECT"),
            std::string::npos);
  EXPECT_EQ(SayAndClose(phone.Device(), "AT\r", "OK"), "AT\r\r\nOK\r\n");
  EXPECT_EQ(phone.Stop(), 0);
}

TEST(PhoneEndToEnd, TheConsoleCanBringItsOwnPhone) {
  const std::string script = "SPEC>OPEN\nAT+CGSN\nSPEC>CLOSE\n";
  // The answers, without the probe's attempts: on a busy machine the phone
  // on the pseudo-terminal may take more than one.
  auto answers = [&](const std::string& option) {
    auto all = Answers(RunConsole(option, script));
    std::erase_if(all, [](const auto& answer) { return answer.first == "PORT COUNT"; });
    return all;
  };
  auto on_pty = answers("--sim");
  auto virtual_time = answers("--virtual");
  std::string shown;
  for (const auto& answer : on_pty) shown += answer.first + " -> " + answer.second + "\n";
  ASSERT_EQ(on_pty.size(), 4u) << shown;
  EXPECT_EQ(on_pty[1].first, "AT+CGSN");
  EXPECT_EQ(on_pty[1].second.size(), 15u);
  EXPECT_EQ(on_pty, virtual_time);
}

}  // namespace
}  // namespace quorvalen
