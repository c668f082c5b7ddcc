// What names a Terminal installation, for the module and the Terminal alike.
//
// The endpoint name: "QVN.Terminal." followed by the 64 upper-case
// hexadecimal digits of the SHA-256 of the Terminal executable's lower-cased
// final path, hashed as UTF-16LE without a terminator. A running Terminal
// holds a pid file of that name plus ".pid" in the endpoint folder, and keeps
// its data in <roaming>/Belvastor/Terminal/<ID>/, where ID is the first 16
// bytes of the digest in upper-case hex.
#pragma once

#include <string>
#include <string_view>

#include "protocol/sha256.hpp"

namespace qvn::protocol {

inline constexpr std::string_view kEndpointPrefix = "QVN.Terminal.";
inline constexpr std::string_view kPidFileSuffix = ".pid";
// The folders under the roaming data folder that hold the data folders.
inline constexpr std::u16string_view kVendorFolder = u"Belvastor";
inline constexpr std::u16string_view kTerminalsFolder = u"Terminal";

// Digest of a final path; the path is lower-cased first.
Digest path_digest(std::u16string_view final_path);

std::string hex_upper(const Digest& digest);

// "QVN.Terminal." + hex digits of the digest.
std::string endpoint_name(const Digest& digest);

// The name of an installation's data folder.
std::string data_folder_id(const Digest& digest);

}  // namespace qvn::protocol
