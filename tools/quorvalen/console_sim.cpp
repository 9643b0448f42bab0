// The console with the simulated phone: on a pseudo-terminal pair in a
// thread of its own (--sim), or on the virtual clock in the same thread as
// the control (--virtual).
#include <iostream>
#include <thread>

#include "console.h"
#include "quorvalen/properties.h"
#include "quorvalen/sim/attachments.h"
#include "quorvalen/sim/file_store.h"
#include "quorvalen/sim/message_store.h"
#include "quorvalen/virtual_platform.h"

namespace quorvalen::tool {
namespace {

// The phone agrees with the control unless told otherwise.
sim::PhoneOptions PhoneFor(Quorvalen& control, const ConsoleOptions& options) {
  return PhoneAgreeingWith(options.sim_family >= 0 ? options.sim_family : control.MobileType(),
                           control.ComType());
}

// The phone holds the sample messages and contacts unless given others.
sim::PhoneOptions WithSampleMessages(sim::PhoneOptions phone) {
  if (!phone.messages) {
    phone.messages = std::make_shared<sim::MessageStore>(sim::MessageStore::Sample());
  }
  return phone;
}

std::unique_ptr<sim::FileStore> StoreFor(const std::string& root) {
  if (root.empty()) return std::make_unique<sim::SampleStore>();
  return std::make_unique<sim::DiskStore>(root);
}

class ThreadedPhone : public SimulatedPhoneHandle {
 public:
  explicit ThreadedPhone(std::unique_ptr<sim::PtyPhone> phone) : phone_(std::move(phone)) {
    thread_ = std::thread([this] { phone_->Run(); });
  }
  ~ThreadedPhone() override {
    phone_->Stop();
    thread_.join();
  }

 private:
  std::unique_ptr<sim::PtyPhone> phone_;
  std::thread thread_;
};

}  // namespace

sim::PhoneOptions PhoneAgreeingWith(int mobile_type, int com_type) {
  sim::PhoneOptions phone;
  phone.family = mobile_type >= 0 && mobile_type <= 2 ? mobile_type : 1;
  phone.cable = com_type == kComUsb        ? sim::Cable::kUsb
                : com_type == kComInfrared ? sim::Cable::kInfrared
                                           : sim::Cable::kSerial;
  return phone;
}

std::unique_ptr<SimulatedPhoneHandle> StartSimulatedPhone(Quorvalen& control,
                                                          const ConsoleOptions& options,
                                                          std::string* device_path,
                                                          std::string* error,
                                                          std::string* obex_path) {
  return StartSimulatedPhone(PhoneFor(control, options), options.sim_root, device_path, error,
                             obex_path);
}

std::unique_ptr<SimulatedPhoneHandle> StartSimulatedPhone(const sim::PhoneOptions& options,
                                                          const std::string& root,
                                                          std::string* device_path,
                                                          std::string* error,
                                                          std::string* obex_path) {
  std::unique_ptr<sim::FileStore> store;
  try {
    store = StoreFor(root);
  } catch (const std::exception& e) {  // a folder to serve that is not there
    if (error) *error = e.what();
    return nullptr;
  }
  auto phone = sim::PtyPhone::Open(WithSampleMessages(options), std::move(store), error);
  if (!phone) return nullptr;
  *device_path = phone->DevicePath();
  if (obex_path) *obex_path = phone->ObexDevicePath();
  return std::make_unique<ThreadedPhone>(std::move(phone));
}

int RunVirtualConsole(const ConsoleOptions& options) {
  VirtualPlatform platform;
  Quorvalen control(platform);
  if (!ApplySettings(control, options.settings)) return 2;
  int port = control.CommPort();
  // The phone on the cable, or in the air for ComType 1.
  std::unique_ptr<sim::VirtualPhone> cable;
  std::unique_ptr<sim::VirtualInfraredPhone> infrared;
  if (control.ComType() == kComInfrared) {
    infrared = std::make_unique<sim::VirtualInfraredPhone>(
        platform, WithSampleMessages(PhoneFor(control, options)), StoreFor(options.sim_root));
  } else {
    cable = std::make_unique<sim::VirtualPhone>(
        platform, port, WithSampleMessages(PhoneFor(control, options)), StoreFor(options.sim_root));
  }
  ConsoleSession session(control, platform.Loop(), stdout);
  // Virtual time passes only in waits, sleeps and the final drain, so a
  // run is the same every time.
  for (std::string line; std::getline(std::cin, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    session.HandleLine(line);
  }
  if (!session.Drain(options.drain_ms)) {
    std::fprintf(stderr, "quorvalen console: the queue did not drain within %lld ms\n",
                 static_cast<long long>(options.drain_ms));
  }
  return 0;
}

}  // namespace quorvalen::tool
