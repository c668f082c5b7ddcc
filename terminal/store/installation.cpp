#include "terminal/store/installation.hpp"

#include <algorithm>

#include "platform/platform.hpp"
#include "protocol/endpoint.hpp"
#include "protocol/text.hpp"
#include "terminal/store/files.hpp"

namespace qvn::terminal {
namespace {

std::string utf16le_with_bom(std::u16string_view text) {
    std::string out = "\xFF\xFE";
    for (char16_t u : text) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    }
    return out;
}

}  // namespace

std::u16string Installation::config_folder() const { return join(files_folder, u"config"); }
std::u16string Installation::settings_file() const { return join(config_folder(), u"terminal.ini"); }
std::u16string Installation::accounts_file() const { return join(config_folder(), u"accounts.dat"); }

std::string origin_text(std::u16string_view install_folder) { return utf16le_with_bom(install_folder); }

bool locate_installation(bool portable, Installation& out, std::string& error) {
    const std::u16string own = platform::own_executable();
    if (own.empty()) {
        error = "cannot find this program's own executable";
        return false;
    }
    // The same derivation as the module's: the resolved path, lower-cased
    // and hashed, so both arrive at the same endpoint.
    std::u16string final_path = platform::resolve_path(own);
    if (final_path.empty()) final_path = own;
    protocol::Digest digest{};
    if (!platform::endpoint_digest(final_path, digest)) {
        error = "cannot hash this program's path";
        return false;
    }
    out.executable = final_path;
    // The folder as this program was started from it: on Windows the final
    // path carries the long-path prefix, which origin.txt need not show.
    out.install_folder = parent_folder(own);
    out.endpoint_name = protocol::endpoint_name(digest);
    out.portable = portable;

    const std::u16string roaming = platform::roaming_folder();
    if (roaming.empty()) {
        error = "no roaming data folder: neither XDG_DATA_HOME nor HOME is set";
        return false;
    }
    protocol::Digest id{};
    std::copy(digest.begin(), digest.begin() + 16, id.begin());
    const std::u16string terminals = join(join(roaming, u"Belvastor"), u"Terminal");
    out.data_folder = join(terminals, utf16(protocol::hex_upper(id).substr(0, 32)));
    out.common_folder = join(terminals, u"Common");
    out.files_folder = portable ? out.install_folder : out.data_folder;
    return true;
}

bool prepare_folders(const Installation& inst, std::string& error) {
    const auto fail = [&error](std::u16string_view what) {
        error = "cannot create '" + protocol::utf16_to_utf8(what) + "'";
        return false;
    };
    if (!make_folders(inst.data_folder)) return fail(inst.data_folder);
    if (!make_folders(inst.common_folder)) return fail(inst.common_folder);
    if (!make_folders(inst.config_folder())) return fail(inst.config_folder());
    const std::u16string qsl = join(inst.files_folder, u"QSL");
    if (!make_folders(qsl)) return fail(qsl);
    const std::u16string origin = join(inst.data_folder, u"origin.txt");
    if (!write_file(origin, origin_text(inst.install_folder))) return fail(origin);
    const std::u16string marker = join(inst.data_folder, u"portable.txt");
    if (inst.portable) {
        if (!write_file(marker, utf16le_with_bom(u"portable"))) return fail(marker);
    } else {
        // A folder marked portable would make discovery start this
        // installation with /portable; it no longer is.
        remove_file(marker);
    }
    return true;
}

}  // namespace qvn::terminal
