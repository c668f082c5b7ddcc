// version() and last_error(): what the Terminal says it is, and the outcome
// of the latest call.
#include <Python.h>

#include <cstdint>
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
constexpr std::size_t kDropped = SIZE_MAX;

// The version text's units as read, when there are few enough to keep.
struct VersionText {
    char16_t units[kVersionTextBytes];
    std::size_t count = 0;  // kDropped: too long, reported empty
};

// Reads the version text's u32 count and units. Every unit takes at least
// one UTF-8 byte, so a text of more units than the version buffer holds
// bytes is dropped: its units are read past in pieces, never stored.
bool read_version_text(link::PipeReader& r, VersionText& text) noexcept {
    std::uint32_t count = 0;
    std::size_t bytes = 0;
    if (!link::read_record_count(r, 2, count, bytes)) return false;
    if (count <= kVersionTextBytes) {
        text.count = count;
        return r.read(text.units, bytes);
    }
    text.count = kDropped;
    while (bytes > 0) {
        const std::size_t piece = bytes < sizeof text.units ? bytes : sizeof text.units;
        if (!r.read(text.units, piece)) return false;
        bytes -= piece;
    }
    return true;
}

// The text as version() reports it: its UTF-8 form decoded again, so lone
// surrogates come out replaced; empty when that form is longer than the
// version buffer holds. ASCII, what Terminals send, is copied unit by unit.
PyObject* version_str(const VersionText& text) noexcept {
    if (text.count == kDropped) return PyUnicode_FromStringAndSize("", 0);
    char16_t all = 0;
    for (std::size_t i = 0; i < text.count; ++i) all |= text.units[i];
    if (all < 0x80) {
        PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(text.count), 0x7F);
        if (str == nullptr) return nullptr;
        Py_UCS1* out = PyUnicode_1BYTE_DATA(str);
        for (std::size_t i = 0; i < text.count; ++i) out[i] = static_cast<Py_UCS1>(text.units[i]);
        return str;
    }
    std::string utf8;
    try {
        utf8 = protocol::utf16_to_utf8({text.units, text.count});
    } catch (...) {
        utf8.clear();
    }
    if (utf8.size() > kVersionTextBytes) utf8.clear();
    return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), nullptr);
}

// The latest result and the values it was made from. A Terminal answers
// the same every time, so the tuple, which is immutable, is handed out again
// while they stay the same. Only the holder of the call lock, with the
// interpreter lock, reads or replaces it; it lives as long as the process.
struct LastVersion {
    std::uint32_t first = 0;
    std::uint32_t second = 0;
    VersionText text;
    PyObject* tuple = nullptr;

    bool made_from(std::uint32_t a, std::uint32_t b, const VersionText& t) const noexcept {
        if (tuple == nullptr || a != first || b != second || t.count != text.count) return false;
        return t.count == kDropped || std::memcmp(t.units, text.units, t.count * sizeof(char16_t)) == 0;
    }
};

LastVersion g_last;

PyObject* version_tuple(std::uint32_t first, std::uint32_t second, const VersionText& text) noexcept {
    if (g_last.made_from(first, second, text)) {
        Py_INCREF(g_last.tuple);
        return g_last.tuple;
    }
    PyObject* str = version_str(text);
    if (str == nullptr) return nullptr;
    PyObject* result = PyTuple_New(3);
    PyObject* major = PyLong_FromLong(static_cast<int>(first));
    PyObject* minor = PyLong_FromLong(static_cast<int>(second));
    if (result == nullptr || major == nullptr || minor == nullptr) {
        Py_XDECREF(result);
        Py_XDECREF(major);
        Py_XDECREF(minor);
        Py_DECREF(str);
        return nullptr;
    }
    PyTuple_SET_ITEM(result, 0, major);
    PyTuple_SET_ITEM(result, 1, minor);
    PyTuple_SET_ITEM(result, 2, str);
    Py_XDECREF(g_last.tuple);
    g_last.first = first;
    g_last.second = second;
    g_last.text.count = text.count;
    if (text.count != kDropped) std::memcpy(g_last.text.units, text.units, text.count * sizeof(char16_t));
    Py_INCREF(result);
    g_last.tuple = result;
    return result;
}

}  // namespace

PyObject* py_version(PyObject*, PyObject*) {
    link::reset_error();
    std::uint32_t first = 0, second = 0;
    VersionText text;
    const std::int32_t code = link::transact(
        link::client().handle(), wire::kVersion, 4,
        [](link::PipeWriter& w) noexcept { return w.put(std::uint32_t{0}); },
        [&](link::PipeReader& r) noexcept { return r.get(first) && r.get(second) && read_version_text(r, text); });
    if (code <= 0) {
        first = second = 0;
        text.count = 0;
    }
    if (code < 0) link::set_error(code);
    return version_tuple(first, second, text);
}

PyObject* py_last_error(PyObject*, PyObject*) {
    char message[link::kMessageBytes];
    const std::int32_t code = link::published_error(message);
    PyObject* text = PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace");
    if (text == nullptr) return nullptr;
    return Py_BuildValue("(iN)", code, text);
}

}  // namespace qvn::session
