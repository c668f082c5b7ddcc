// _installation(executable): the names one Terminal installation goes by, as
// the module and the Terminal derive them. Private: for the package's
// command line and the tests, which must find an installation's endpoint,
// pid file and data folder without deriving them a second time.
#include <Python.h>

#include <cstring>
#include <new>
#include <string>

#include "link/client.hpp"
#include "platform/platform.hpp"
#include "protocol/endpoint.hpp"
#include "protocol/text.hpp"
#include "protocol/wire.hpp"

namespace qvn::session {
namespace {

// Paths are UTF-16 here; lone surrogates (the escaped bytes of a POSIX path
// that is not UTF-8) come over as they are, so the str names the same file.
PyObject* path_str(std::u16string_view path) noexcept {
    int little_endian = -1;
    return PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(path.data()),
                                 static_cast<Py_ssize_t>(2 * path.size()), "surrogatepass", &little_endian);
}

PyObject* bytes_path_str(const std::string& path) {
    return path_str(protocol::path_to_utf16(path));
}

bool put(PyObject* dict, const char* key, PyObject* value) noexcept {
    if (value == nullptr) return false;
    const int failed = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return failed == 0;
}

PyObject* describe(std::u16string_view given) {
    if (given.empty() || given.size() > wire::kMaxPath) {
        PyErr_SetString(PyExc_ValueError, given.empty() ? "empty path" : "Path too long");
        return nullptr;
    }
    const std::u16string executable = link::final_path(given, wire::kMaxPath);
    protocol::Digest digest{};
    if (!platform::endpoint_digest(executable, digest)) {
        PyErr_SetString(PyExc_OSError, "Hash calculation failed");
        return nullptr;
    }
    std::string folder, why;
    if (!platform::endpoint_folder(folder, why)) {
        PyErr_SetString(PyExc_OSError, why.c_str());
        return nullptr;
    }
    const std::string name = protocol::endpoint_name(digest);
    std::u16string data_folder = platform::terminals_folder();
    if (!data_folder.empty()) {
        data_folder += platform::kPathSeparator;
        data_folder += protocol::path_to_utf16(protocol::data_folder_id(digest));
    }
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return nullptr;
    if (put(dict, "executable", path_str(executable)) && put(dict, "endpoint_name", bytes_path_str(name)) &&
        put(dict, "endpoint", bytes_path_str(platform::endpoint_location(folder, name))) &&
        put(dict, "pid_file",
            bytes_path_str(folder + static_cast<char>(platform::kPathSeparator) + name +
                           std::string(protocol::kPidFileSuffix))) &&
        put(dict, "data_folder", path_str(data_folder)))
        return dict;
    Py_DECREF(dict);
    return nullptr;
}

}  // namespace

PyObject* py_installation(PyObject*, PyObject* args) {
    PyObject* path = nullptr;
    if (!PyArg_ParseTuple(args, "U:_installation", &path)) return nullptr;
    // The str's UTF-16 units, surrogates kept.
    PyObject* encoded = PyUnicode_AsEncodedString(path, "utf-16-le", "surrogatepass");
    if (encoded == nullptr) return nullptr;
    PyObject* result = nullptr;
    try {
        std::u16string given(static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)) / 2, u'\0');
        std::memcpy(given.data(), PyBytes_AS_STRING(encoded), given.size() * 2);
        result = describe(given);
    } catch (const std::bad_alloc&) {
        result = PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_OSError, "cannot name the installation");
    }
    Py_DECREF(encoded);
    return result;
}

}  // namespace qvn::session
