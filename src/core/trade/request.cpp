// The request conversion walks the TradeRequest field table: its names are
// the dictionary's keys, its kinds say which Python type each key accepts
// and at which width it lands, so the keys, their order and the record can
// never disagree.
#include "trade/request.hpp"

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

}  // namespace

bool convert_trade_request(PyObject* request, wire::TradeRequestRecord& record) noexcept {
    if (request == nullptr || !PyDict_Check(request)) {
        link::set_error(wire::kInvalidParams, "Invalid arguments");
        return false;
    }
    auto* bytes = reinterpret_cast<std::uint8_t*>(&record);
    std::memset(bytes, 0, sizeof record);
    for (const convert::Field& field : convert::fields_of(convert::TypeId::TradeRequest)) {
        PyObject* value = PyDict_GetItemString(request, field.name);
        if (value == nullptr) continue;
        if (!put_value(field, value, bytes + field.offset)) {
            PyErr_Clear();
            char message[64];
            std::snprintf(message, sizeof message, "Invalid \"%s\" argument", field.name);
            link::set_error(wire::kInvalidParams, message);
            return false;
        }
    }
    return true;
}

}  // namespace qvn::trade
