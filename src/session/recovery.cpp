// Bringing back a phone that a host left in a framed or raw-OBEX mode (the
// host died mid-transfer): such a phone does not answer "AT", and the
// opening probe would give up on it. Before the control opens the port,
// the session asks "AT" itself on the platform's serial port; when nothing
// answers, it says what the phone understands in each mode (the framed AT
// line that leaves BFB mode, at the BFB speeds; the escape "+++" between
// silences, at the raw mode's speeds) and asks again.
#include <chrono>

#include "quorvalen/bfb.h"
#include "quorvalen/error.h"
#include "quorvalen/quorvalen.h"
#include "quorvalen/session.h"

namespace quorvalen {
namespace {

// The AT lines that leave OBEX and BFB mode, sent framed.
constexpr std::string_view kLeaveObex = "at^sqwe=2\r";
constexpr std::string_view kLeaveBfb = "at^sbfb=0\r";
// Silence around "+++": the phone hears the escape only between them.
constexpr int64_t kGuardMs = 1100;

}  // namespace

std::string Session::BringBack() {
  if (options_.com_type == kComInfrared) return {};  // each infrared connection starts afresh
  std::unique_ptr<SerialPort> port = platform_.CreateSerialPort();
  EventLoop& loop = platform_.Loop();
  const std::string at_settings = control_->AT_Settings();
  std::string reply;
  auto answers_at = [&]() {
    port->Settings(at_settings);
    port->Input();
    port->Output("AT\r");
    reply.clear();
    loop.RunUntil(
        [&] {
          reply += port->Input();
          return reply.find("OK") != std::string::npos;
        },
        500);
    return reply.find("OK") != std::string::npos;
  };
  auto wait = [&](int64_t ms) { loop.RunUntil([] { return false; }, ms); };
  try {
    port->CommPort(static_cast<int16_t>(options_.comm_port));
    port->RThreshold(0);
    port->Settings(at_settings);
    port->PortOpen(true);
    if (answers_at()) {
      port->PortOpen(false);
      return {};
    }
    // BFB mode, at the speed the switch set and at 115200.
    for (const std::string& speed : {control_->OBEX_Settings(), std::string("115200,n,8,1")}) {
      port->Settings(speed);
      port->Output(BuildBfbFrame(kBfbAtFrame, kLeaveObex));
      port->Output(BuildBfbFrame(kBfbAtFrame, kLeaveBfb));
      wait(300);
    }
    if (answers_at()) {
      port->PortOpen(false);
      return "the phone was still in BFB mode (a transfer cut off?); the framed AT^SBFB=0 "
             "brought it back to AT mode";
    }
    if (!options_.wait_for_phone) {
      // The escape from raw OBEX mode costs four guard times; an opening
      // that must give up soon does without.
      port->PortOpen(false);
      recovery_tried_ = true;
      return {};
    }
    // Raw OBEX mode, at the speed of the OBEX settings and of AT mode.
    for (const std::string& speed : {control_->OBEX_Settings(), at_settings}) {
      port->Settings(speed);
      wait(kGuardMs);
      port->Output("+++");
      wait(kGuardMs);
    }
    const bool back = answers_at();
    port->PortOpen(false);
    if (back) {
      return "the phone was still in raw OBEX mode (a transfer cut off?); \"+++\" between "
             "silences brought it back to AT mode";
    }
  } catch (const Error&) {
    // The port cannot be had: the control's opening says why.
  }
  recovery_tried_ = true;
  return {};
}

}  // namespace quorvalen
