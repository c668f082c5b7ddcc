// Where this Terminal lives: its executable, its endpoint and its folders.
//
//   <roaming>/Belvastor/Terminal/<ID>/   the data folder; ID = the first 16
//                                        bytes of the endpoint digest in hex
//       origin.txt     UTF-16LE with byte-order mark: the installation folder
//       config/        terminal.ini, accounts.dat   (not when portable)
//       QSL/                                        (not when portable)
//       portable.txt   only when portable: config/ and QSL/ are then in the
//                      installation folder instead
//   <roaming>/Belvastor/Terminal/Common/ shared by every installation
#pragma once

#include <string>

#include "protocol/sha256.hpp"

namespace qvn::terminal {

struct Installation {
    std::u16string executable;      // final path, as the module derives the endpoint from it
    std::u16string install_folder;  // folder holding the executable
    std::string endpoint_name;
    std::u16string data_folder;     // in the roaming folder
    std::u16string files_folder;    // holds config/ and QSL/: data or installation folder
    std::u16string common_folder;
    bool portable = false;

    std::u16string config_folder() const;
    std::u16string settings_file() const;  // config/terminal.ini
    std::u16string accounts_file() const;  // config/accounts.dat
};

// Works out the paths; writes nothing.
bool locate_installation(bool portable, Installation& out, std::string& error);

// Creates the folders and writes origin.txt (and portable.txt); the settings
// and account files are written by their owners.
bool prepare_folders(const Installation& inst, std::string& error);

// The bytes of origin.txt for an installation folder.
std::string origin_text(std::u16string_view install_folder);

}  // namespace qvn::terminal
