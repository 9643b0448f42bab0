// OBEX request packets, byte for byte, and the limits of their length
// fields; the splitting of folder paths and the PUT overhead.
#include "quorvalen/obex_requests.h"

#include <gtest/gtest.h>

#include "quorvalen/byte_text.h"

namespace quorvalen::obex {
namespace {

std::string Hex(const std::optional<std::string>& packet) {
  return packet ? TextToHex(*packet) : "(refused)";
}

TEST(ObexRequests, ConnectAndSessionPackets) {
  EXPECT_EQ(Hex(ConnectRequest(kFolderBrowsingTarget)),
            "80001A10004006460013"
            "6B01CB31410611D49A770050DA3F471F");
  EXPECT_EQ(Hex(ConnectRequest(kIrmcSyncTarget)), "8000131000400646000C49524D432D53594E43");
  EXPECT_EQ(TextToHex(DisconnectRequest()), "810003");
  EXPECT_EQ(TextToHex(GetContinuation()), "830003");
  // The listing of the current folder: a GET with the Type header only.
  EXPECT_EQ(TextToHex(FolderListingRequest()),
            "83001C420019" + TextToHex("x-obex/folder-listing") + "00");
  EXPECT_EQ(TextToHex(RawRequest("8100030A")), "8100030A");
}

TEST(ObexRequests, SetPathAndMakeFolder) {
  EXPECT_EQ(Hex(SetPathRequest("..")), "8500050300");
  EXPECT_EQ(Hex(SetPathRequest("/")), "8500080200010003");
  EXPECT_EQ(Hex(SetPathRequest("Pictures")),
            "85001A0200010015"
            "00500069006300740075007200650073"
            "0000");
  // An empty name: the Name header holds only its terminator.
  EXPECT_EQ(Hex(SetPathRequest("")), "85000A02000100050000");
  EXPECT_EQ(Hex(MakeFolderRequest("New")), "8500100000" "01000B004E006500770000");
  EXPECT_EQ(Hex(MakeFolderRequest("")), "8500050300");
}

TEST(ObexRequests, GetPutAndDelete) {
  EXPECT_EQ(Hex(GetRequest("a")), "83000A01000700610000");
  EXPECT_EQ(Hex(PutRequest("a.txt", "", "Hi")),
            "82001C01000F0061002E007400780074" "0000" "C300000002" "490005" "4869");
  // Odd data: the Length header rounds up, the End of Body carries the truth.
  std::string hello = Hex(PutRequest("a", "", "Hello"));
  EXPECT_NE(hello.find("C300000006"), std::string::npos);
  EXPECT_EQ(hello.substr(hello.size() - 16), "490008" + TextToHex("Hello"));
  // Parameters ride between Length and End of Body with tag 0x11.
  EXPECT_EQ(Hex(PutRequest("a", "ab", "")), "82001901000700610000C3000000004C000711026162490003");
  EXPECT_EQ(Hex(DeleteRequest("a", "")), "82000A01000700610000");
  EXPECT_EQ(Hex(DeleteRequest("a", "z")), "82001001000700610000" "4C0006110" "17A");
  EXPECT_EQ(Hex(AttributesRequest("a", "x")), "82001001000700610000" "4C000638" "0178");
  EXPECT_EQ(Hex(RenameRequest("a", "b")), "8200144C0011" "34046D6F7665" "35020061" "36020062");
  EXPECT_EQ(Hex(MemoryRequest("01")), "8300094C0006320101");
}

TEST(ObexRequests, MultiPacketPut) {
  // 255-byte block length, name a.txt, parameters "abc", 1000 bytes of data.
  const std::string data(1000, 'd');
  EXPECT_EQ(FirstPutBlockSize("a.txt", "abc", 255), 221);
  std::optional<std::string> first = FirstPutRequest("a.txt", "abc", data, 221);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->size(), 255u);
  EXPECT_EQ(TextToHex(first->substr(0, 34)),
            "0200FF01000F0061002E007400780074" "0000" "C3000003E8" "4C0008110361626348" "00E0");
  EXPECT_EQ(first->substr(34), std::string(221, 'd'));

  // Further blocks: 249 bytes while more is to come, the rest last.
  const std::string block(249, 'm');
  EXPECT_EQ(TextToHex(PutBlockRequest(block, false)->substr(0, 6)), "0200FF4800FC");
  EXPECT_EQ(PutBlockRequest(block, false)->substr(6), block);
  EXPECT_EQ(TextToHex(PutBlockRequest(std::string(102, 'l'), true)->substr(0, 6)), "82006C490069");
  EXPECT_EQ(Hex(PutBlockRequest("", true)), "820006490003");

}

TEST(ObexRequests, FolderPathsSplitIntoSingleChanges) {
  using Folders = std::vector<std::string>;
  EXPECT_EQ(SplitFolderPath("\\Pictures\\Holiday\\"), (Folders{"/", "Pictures", "Holiday"}));
  EXPECT_EQ(SplitFolderPath("Pictures\\"), (Folders{"Pictures"}));
  EXPECT_EQ(SplitFolderPath("Pictures"), (Folders{"Pictures"}));
  // The last folder is entered even without its closing backslash.
  EXPECT_EQ(SplitFolderPath("a\\b"), (Folders{"a", "b"}));
  EXPECT_EQ(SplitFolderPath("\\a\\b,LONG"), (Folders{"/", "a", "b,LONG"}));
  // Options trailing a closed path are no folder.
  EXPECT_EQ(SplitFolderPath("a\\b\\,LONG"), (Folders{"a", "b"}));
  EXPECT_EQ(SplitFolderPath("a\\,EXT>x"), (Folders{"a"}));
  // An empty stretch between two backslashes is a change to the empty name.
  EXPECT_EQ(SplitFolderPath("a\\\\b\\"), (Folders{"a", "", "b"}));
  EXPECT_EQ(SplitFolderPath("\\\\"), (Folders{"/", ""}));
}

}  // namespace
}  // namespace quorvalen::obex
