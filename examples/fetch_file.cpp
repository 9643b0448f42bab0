// A host program that embeds the control: it opens the phone's serial port,
// lists the phone's root folder and copies one file from the phone to disk.
//
//   fetch_file DEVICE NAME OUT [MOBILETYPE]
//
// DEVICE is the phone's serial device (for a try without a phone, the path
// that `quorvalen-phone` prints), NAME a file in the phone's root folder,
// OUT where its bytes go, MOBILETYPE the phone's family (default 1: a phone
// that speaks BFB frames on the cable).
#include <quorvalen/posix_platform.h>
#include <quorvalen/quorvalen.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s DEVICE NAME OUT [MOBILETYPE]\n", argv[0]);
    return 2;
  }
  const std::string name = argv[2];
  quorvalen::PosixPlatform platform;
  platform.DevicePath(1, argv[1]);  // CommPort 1 is this device
  quorvalen::Quorvalen control(platform);
  control.CommPort(1);
  control.MobileType(argc > 4 ? std::atoi(argv[4]) : 1);

  // Every result arrives as an Ack. OBEX answers are the response packet in
  // hex: "A0..." is success; the object (listing, file) is in OBEX_DataRead.
  int status = 0;
  bool done = false;
  control.OnAck([&](const std::string& command, const std::string& answer) {
    if (command == "SPEC>OPEN" && answer != "OK") {
      std::fprintf(stderr, "no phone on %s: %s\n", argv[1], answer.c_str());
      status = 1;
      done = true;
    } else if (command == "OBEX>DIR:" || command == "OBEX>GET:" + name) {
      if (answer.rfind("A0", 0) != 0) {
        std::fprintf(stderr, "%s failed: %s\n", command.c_str(), answer.c_str());
        status = 1;
        done = true;
      } else if (command == "OBEX>DIR:") {
        std::printf("%s", control.OBEX_DataRead().c_str());
      } else {
        std::ofstream(argv[3], std::ios::binary) << control.OBEX_DataRead();
        std::printf("%s: %zu bytes\n", argv[3], control.OBEX_DataRead().size());
      }
    } else if (command == "SPEC>CLOSE") {
      done = true;
    }
  });

  // Commands queue up and run one after the other. The first OBEX command
  // switches the phone into OBEX mode and connects; the AT command after the
  // GET switches it back, so the phone is left as it was found.
  for (const char* command : {"SPEC>OPEN", "OBEX>DIR:"}) control.Command(command);
  control.Command("OBEX>GET:" + name);
  for (const char* command : {"AT", "SPEC>CLOSE"}) control.Command(command);

  platform.Loop().RunUntil([&] { return done; }, 120000);
  if (!done) {
    std::fprintf(stderr, "the phone stopped answering\n");
    return 1;
  }
  return status;
}
