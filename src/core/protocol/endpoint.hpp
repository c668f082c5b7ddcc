// The endpoint name of a Terminal: "QVN.Terminal." followed by the 64
// upper-case hexadecimal digits of the SHA-256 of the Terminal executable's
// lower-cased final path, hashed as UTF-16LE without a terminator.
#pragma once

#include <string>
#include <string_view>

#include "protocol/sha256.hpp"

namespace qvn::protocol {

inline constexpr std::string_view kEndpointPrefix = "QVN.Terminal.";

// Digest of a final path; the path is lower-cased first.
Digest path_digest(std::u16string_view final_path);

std::string hex_upper(const Digest& digest);

// "QVN.Terminal." + hex digits of the digest.
std::string endpoint_name(const Digest& digest);

}  // namespace qvn::protocol
