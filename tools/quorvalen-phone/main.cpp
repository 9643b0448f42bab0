// quorvalen-phone: the simulated phone on a pseudo-terminal. It prints the
// device path its clients open, and serves until SIGINT or SIGTERM; SIGUSR1
// replugs it (back to AT mode at 19200, whatever mode it was left in).
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <utility>

#include "quorvalen/sim/attachments.h"
#include "quorvalen/sim/file_store.h"
#include "quorvalen/sim/message_store.h"
#include "quorvalen/version.h"

namespace {

quorvalen::sim::PtyPhone* g_phone = nullptr;

void OnSignal(int signal) {
  if (!g_phone) return;
  if (signal == SIGUSR1) {
    g_phone->Replug();
  } else {
    g_phone->Stop();
  }
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quorvalen::sim;
  CLI::App app{"quorvalen-phone: a simulated phone on a pseudo-terminal"};
  app.set_version_flag("--version", "quorvalen-phone " QUORVALEN_VERSION);
  std::string root, cable = "serial", link, faults, transcript_path;
  bool sample = false;
  uint64_t seed = 1;
  PhoneOptions options;
  int packet_size = options.packet_size;
  auto* root_option = app.add_option("--root", root, "serve the files of this directory");
  app.add_flag("--sample", sample, "serve the built-in sample tree (the default)")->excludes(root_option);
  app.add_option("--family", options.family, "0: raw OBEX by AT^SQWE; 1, 2: BFB (2 at 115200)")
      ->check(CLI::Range(0, 2));
  app.add_option("--cable", cable, "serial or usb")->check(CLI::IsMember({"serial", "usb"}));
  bool infrared = false;
  app.add_flag("--infrared", infrared,
               "serve the two infrared services on two pseudo-terminals (prints both: the "
               "serial-emulation service's, then the OBEX service's)");
  app.add_option("--model", options.model, "answer to AT+CGMM");
  app.add_option("--manufacturer", options.manufacturer, "answer to AT+CGMI");
  app.add_option("--packet-size", packet_size, "the phone's maximum OBEX packet")
      ->check(CLI::Range(255, 65535));
  app.add_option("--link", link, "make this path a symbolic link to the device");
  app.add_option("--faults", faults, "faults to inject, e.g. drop=0.01,delay=0.1:200");
  app.add_option("--seed", seed, "seed of the faults");
  app.add_option("--transcript", transcript_path, "write every chunk received and sent here");
  std::string messages_path, contacts_path;
  app.add_option("--messages", messages_path,
                 "load the short messages of this file (its memories replace the sample's)");
  app.add_option("--contacts", contacts_path,
                 "load the phonebook entries of this file (its memories replace the sample's)");
  app.add_option("--pin", options.pin, "the SIM's PIN, asked for before memory SM is used");
  app.add_flag("--pace", options.pace,
               "take a cable's time: bytes travel at the line speed in force, ten bits a byte "
               "(over infrared at 115200; a USB cable is not paced)");
  CLI11_PARSE(app, argc, argv);

  options.cable = infrared ? Cable::kInfrared : cable == "usb" ? Cable::kUsb : Cable::kSerial;
  options.packet_size = static_cast<uint16_t>(packet_size);
  options.seed = seed;
  if (!faults.empty()) {
    std::string error;
    auto plan = ParseFaultPlan(faults, &error);
    if (!plan) {
      std::fprintf(stderr, "quorvalen-phone: %s\n", error.c_str());
      return 2;
    }
    options.faults = *plan;
  }
  // The sample messages and contacts, with the memories the files name
  // replaced by theirs.
  options.messages = std::make_shared<MessageStore>(MessageStore::Sample());
  for (const auto& [path, contacts] :
       {std::pair{messages_path, false}, std::pair{contacts_path, true}}) {
    if (path.empty()) continue;
    std::string error;
    const bool loaded = contacts ? options.messages->LoadContacts(path, &error)
                                 : options.messages->LoadMessages(path, &error);
    if (!loaded) {
      std::fprintf(stderr, "quorvalen-phone: %s\n", error.c_str());
      return 2;
    }
  }
  std::unique_ptr<FileStore> store;
  if (!root.empty()) {
    store = std::make_unique<DiskStore>(root);
  } else {
    store = std::make_unique<SampleStore>();
  }

  std::string error;
  auto phone = PtyPhone::Open(options, std::move(store), &error);
  if (!phone) {
    std::fprintf(stderr, "quorvalen-phone: %s\n", error.c_str());
    return 1;
  }
  Transcript transcript;
  std::FILE* transcript_file = nullptr;
  if (!transcript_path.empty()) {
    transcript_file = std::fopen(transcript_path.c_str(), "w");
    if (!transcript_file) {
      std::perror(("quorvalen-phone: " + transcript_path).c_str());
      return 1;
    }
    transcript.WriteTo(transcript_file);
    phone->Phone().SetTranscript(&transcript);
  }
  if (!link.empty()) {
    ::unlink(link.c_str());
    if (::symlink(phone->DevicePath().c_str(), link.c_str()) != 0) {
      std::perror(("quorvalen-phone: cannot link " + link).c_str());
      return 1;
    }
  }
  g_phone = phone.get();
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGUSR1}) sigaction(s, &action, nullptr);

  std::printf("%s\n", phone->DevicePath().c_str());
  if (infrared) std::printf("%s\n", phone->ObexDevicePath().c_str());
  std::fflush(stdout);
  phone->Run();

  g_phone = nullptr;
  if (!link.empty()) ::unlink(link.c_str());
  if (transcript_file) std::fclose(transcript_file);
  return 0;
}
