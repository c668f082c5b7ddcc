#include "protocol/endpoint.hpp"

#include "protocol/text.hpp"

namespace qvn::protocol {

Digest path_digest(std::u16string_view final_path) {
    std::u16string lowered(final_path);
    lower_in_place(lowered);
    // char16_t is stored little-endian on every supported host (see wire.hpp),
    // so the in-memory bytes are the UTF-16LE form.
    return sha256(std::as_bytes(std::span(lowered.data(), lowered.size())));
}

std::string hex_upper(const Digest& digest) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(digest.size() * 2);
    for (std::uint8_t b : digest) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0xF];
    }
    return out;
}

std::string endpoint_name(const Digest& digest) {
    return std::string(kEndpointPrefix) + hex_upper(digest);
}

std::string data_folder_id(const Digest& digest) { return hex_upper(digest).substr(0, 32); }

}  // namespace qvn::protocol
