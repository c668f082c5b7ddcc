// Conversion of wire records to named tuples, driven by the field tables of
// module/fields.hpp: one walk over a type's table builds its tuple straight
// from the record's bytes, with no intermediate objects.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "convert/types.hpp"

namespace qvn::convert {

// A new named tuple of `type` converted from `record` (the type's wire
// record, at any alignment); null, with no Python error left set, when it
// cannot be built. An Attached item of the type would be left empty, so
// such types go through the three-argument form.
PyObject* make_record_tuple(TypeId type, const void* record) noexcept;

// As above, with `attached` (a new reference, consumed whatever happens)
// as the value of the type's Attached item.
PyObject* make_record_tuple(TypeId type, const void* record, PyObject* attached) noexcept;

// A new tuple of `count` named tuples of `type` from records laid end to end;
// null, with no Python error left set, when any of them cannot be built.
PyObject* make_record_tuples(TypeId type, const void* records, std::size_t count) noexcept;

// A fixed UTF-16 field of `units` units (at any alignment) to str: the text
// ends at the first zero unit or at the field's end. Lone surrogates are kept
// as they are; the conversion never raises except for lack of memory.
PyObject* text_to_str(const void* field, std::size_t units) noexcept;

}  // namespace qvn::convert
