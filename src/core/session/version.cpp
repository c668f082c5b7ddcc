// version() and last_error(): what the Terminal says it is, and the outcome
// of the latest call.
#include <Python.h>

#include <cstring>
#include <string>

#include "link/client.hpp"
#include "link/error.hpp"
#include "link/stream.hpp"
#include "protocol/text.hpp"
#include "protocol/wire.hpp"

namespace qvn::session {
namespace {

constexpr std::size_t kVersionTextBytes = 127;

}  // namespace

PyObject* py_version(PyObject*, PyObject*) {
    link::reset_error();
    std::uint32_t first = 0, second = 0;
    link::RecordBlock text;  // the version text's UTF-16 units
    const std::int32_t code = link::transact(
        link::client().handle(), wire::kVersion, 4,
        [](link::PipeWriter& w) noexcept { return w.put(std::uint32_t{0}); },
        [&](link::PipeReader& r) noexcept {
            return r.get(first) && r.get(second) && link::read_records(r, 2, link::kHeapAllocator, text);
        });

    std::string utf8;
    if (code > 0) {
        try {
            utf8 = protocol::utf16_to_utf8({static_cast<const char16_t*>(text.data()), text.count()});
        } catch (...) {
            utf8.clear();
        }
        // A text longer than the version buffer holds is dropped, not cut.
        if (utf8.size() > kVersionTextBytes) utf8.clear();
    } else {
        first = second = 0;
    }
    if (code < 0) link::set_error(code);
    return Py_BuildValue("(iis#)", static_cast<int>(first), static_cast<int>(second), utf8.data(),
                         static_cast<Py_ssize_t>(utf8.size()));
}

PyObject* py_last_error(PyObject*, PyObject*) {
    char message[link::kMessageBytes];
    const std::int32_t code = link::published_error(message);
    PyObject* text = PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace");
    if (text == nullptr) return nullptr;
    return Py_BuildValue("(iN)", code, text);
}

}  // namespace qvn::session
