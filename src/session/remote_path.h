// Paths on the phone: '/'-separated UTF-8 text from the session's callers,
// folder and file names as the control sends them (one byte per character,
// Latin-1). Every rule that keeps a name from reaching the wire mangled is
// here, so that a refusal comes before anything is sent.
#pragma once

#include <string>
#include <vector>

#include "quorvalen/obex_requests.h"
#include "quorvalen/session.h"

namespace quorvalen {

// The longest names the control's requests carry: a folder change's and a
// GET's name go in one-byte length fields.
using obex::kMaxExtDataChars;
inline constexpr size_t kMaxFolderChars = obex::kMaxFolderNameChars;
inline constexpr size_t kMaxFileChars = obex::kMaxGetNameChars;
inline constexpr size_t kMaxRenameChars = obex::kMaxRenameNameChars;

using RemotePath = std::vector<std::string>;

// A name as the control sends it. Throws SessionError kBadName, naming
// the path, when it cannot be sent unchanged; a name over max_chars is
// refused with the limit's reason when one is given.
std::string WireName(const std::string& name, size_t max_chars, const std::string& path,
                     const std::string& limit_reason = {});
// Every component of a path, the last one limited to max_last_chars.
std::vector<std::string> WireNames(const RemotePath& path, size_t max_last_chars,
                                   const std::string& limit_reason = {});

}  // namespace quorvalen
