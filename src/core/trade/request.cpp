// The request conversion walks the TradeRequest field table: its names are
// the dictionary's keys, its kinds say which Python type each key accepts
// and at which width it lands, so the keys, their order and the record can
// never disagree.
#include "trade/request.hpp"

#include <array>
#include <cstdio>
#include <cstring>

#include "convert/args.hpp"
#include "convert/fields.hpp"
#include "link/error.hpp"

namespace qvn::trade {
namespace {

// A value converted into its field's bytes; false when the value is refused.
bool put_value(const convert::Field& field, PyObject* value, std::uint8_t* out) noexcept {
    switch (field.kind) {
        case convert::Kind::U32: {
            std::uint32_t v = 0;
            if (!convert::to_u32(value, v)) return false;
            std::memcpy(out, &v, sizeof v);
            return true;
        }
        case convert::Kind::U64: {
            std::uint64_t v = 0;
            if (!convert::to_u64(value, v)) return false;
            std::memcpy(out, &v, sizeof v);
            return true;
        }
        case convert::Kind::I64: {
            std::int64_t v = 0;
            if (!convert::to_i64(value, v)) return false;
            std::memcpy(out, &v, sizeof v);
            return true;
        }
        case convert::Kind::F64: {
            // An int is refused: a volume of 1 is a mistake the Terminal
            // should never see as 1.0 by accident.
            double v = 0.0;
            if (!convert::to_double(value, v)) return false;
            std::memcpy(out, &v, sizeof v);
            return true;
        }
        case convert::Kind::Text: {
            // At most 29 units, then zeros to the field's end (the field
            // was zeroed before).
            convert::SymbolName text;
            if (!convert::to_symbol(value, text) || text.length >= field.units) return false;
            std::memcpy(out, text.units, 2 * text.length);
            return true;
        }
        case convert::Kind::Bool:
        case convert::Kind::I32:
        case convert::Kind::Attached: break;
    }
    return false;
}

// The request's keys as str objects, made once and held for the process's
// life: a look-up by C string makes, hashes and drops a new str for each
// of the table's keys on every request. A key that could not be made is
// null, and looked up by its C string instead.
const std::array<PyObject*, convert::kMaxFields>& request_keys() noexcept {
    static const std::array<PyObject*, convert::kMaxFields> keys = [] {
        std::array<PyObject*, convert::kMaxFields> out{};
        std::size_t i = 0;
        for (const convert::Field& field : convert::fields_of(convert::TypeId::TradeRequest)) {
            if (i == out.size()) break;
            out[i] = PyUnicode_InternFromString(field.name);
            if (out[i++] == nullptr) PyErr_Clear();
        }
        return out;
    }();
    return keys;
}

}  // namespace

bool convert_trade_request(PyObject* request, wire::TradeRequestRecord& record) noexcept {
    if (request == nullptr || !PyDict_Check(request)) {
        link::set_error(wire::kInvalidParams, "Invalid arguments");
        return false;
    }
    auto* bytes = reinterpret_cast<std::uint8_t*>(&record);
    std::memset(bytes, 0, sizeof record);
    const auto& keys = request_keys();
    std::size_t i = 0;
    for (const convert::Field& field : convert::fields_of(convert::TypeId::TradeRequest)) {
        PyObject* key = i < keys.size() ? keys[i] : nullptr;
        ++i;
        PyObject* value = key != nullptr ? PyDict_GetItem(request, key) : PyDict_GetItemString(request, field.name);
        if (value == nullptr) continue;
        if (!put_value(field, value, bytes + field.offset)) {
            PyErr_Clear();
            // A text's message says what is taken: its limit is not one a
            // caller can guess.
            char message[128];
            std::snprintf(message, sizeof message,
                          field.kind == convert::Kind::Text ? "Invalid \"%s\" argument: a str of at most %zu "
                                                              "UTF-16 units without NUL"
                                                            : "Invalid \"%s\" argument",
                          field.name, wire::kSymbolUnits);
            link::set_error(wire::kInvalidParams, message);
            return false;
        }
    }
    return true;
}

}  // namespace qvn::trade
