// Conversion of wire records to named tuples, driven by the field tables of
// module/fields.hpp: one walk over a type's table builds its tuple straight
// from the record's bytes, with no intermediate objects.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "convert/types.hpp"
#include "link/stream.hpp"

namespace qvn::convert {

// A new named tuple of `type` converted from `record` (the type's wire
// record, at any alignment); null, with no Python error left set, when it
// cannot be built. An Attached item of the type would be left empty, so
// such types go through the three-argument form.
PyObject* make_record_tuple(TypeId type, const void* record) noexcept;

// As above, with `attached` (a new reference, consumed whatever happens)
// as the value of the type's Attached item.
PyObject* make_record_tuple(TypeId type, const void* record, PyObject* attached) noexcept;

// As make_record_tuple(type, record), for a record that is asked for again
// and again (the account's, the Terminal's, a symbol's): the record this
// made the last tuple of `type` from gives that tuple again, and a changed
// one takes that tuple's items where its bytes are the same. Types with an
// Attached item, which such records do not have, share nothing.
PyObject* make_record_tuple_like_last(TypeId type, const void* record) noexcept;

// A new tuple of `count` named tuples of `type` from records laid end to end;
// null, with no Python error left set, when any of them cannot be built.
PyObject* make_record_tuples(TypeId type, const void* records, std::size_t count) noexcept;

// The tuple of `count` named tuples of `type`, built while the records
// arrive: each convert() takes the records that arrived since the last one,
// laid end to end from `records` on (the array may have moved since, as long
// as what it held came along). The tuple grows with the records converted,
// never ahead of them. A record that cannot be built ends the work:
// convert() returns false then and finish() null, with no Python error left
// set, as they do when the tuple itself could not be had.
class RecordTuples {
public:
    RecordTuples(TypeId type, std::size_t count) noexcept;
    ~RecordTuples();
    RecordTuples(const RecordTuples&) = delete;
    RecordTuples& operator=(const RecordTuples&) = delete;

    // Converts the records before index `arrived`.
    bool convert(const void* records, std::size_t arrived) noexcept;
    // The finished tuple (a new reference) once every record is converted.
    PyObject* finish() noexcept;

private:
    struct State;
    bool fail() noexcept;  // drops the work; false
    PyObject* list_ = nullptr;
    std::unique_ptr<State> state_;
};

// A counted reply's records made into the tuple of `type` while they
// arrive: given to link::read_records as its progress, it converts each
// piece as soon as it has landed, so the conversion overlaps the transfer of
// the rest and finds the records still in the cache.
class TuplesOnArrival {
public:
    explicit TuplesOnArrival(TypeId type) noexcept : type_(type) {}
    TuplesOnArrival(const TuplesOnArrival&) = delete;
    TuplesOnArrival& operator=(const TuplesOnArrival&) = delete;

    const link::RecordProgress* progress() const noexcept { return &progress_; }
    // The tuple once the reply was read whole (empty when it held no
    // record); null, with no Python error set, when a record could not be
    // built.
    PyObject* finish() noexcept {
        if (!made_) made_.emplace(type_, 0);  // no record, so no piece arrived
        return made_->finish();
    }

private:
    // About 40 symbols or 400 positions at a time: they stay in the cache
    // from their arrival to their conversion.
    static constexpr std::size_t kPieceBytes = std::size_t{128} << 10;

    static void arrived(void* context, const std::byte* records, std::size_t arrived, std::size_t count) noexcept {
        auto& self = *static_cast<TuplesOnArrival*>(context);
        if (!self.made_) self.made_.emplace(self.type_, count);
        self.made_->convert(records, arrived);
    }

    TypeId type_;
    std::optional<RecordTuples> made_;
    const link::RecordProgress progress_{&arrived, this, kPieceBytes};
};

// A fixed UTF-16 field of `units` units (at any alignment) to str: the text
// ends at the first zero unit or at the field's end. Lone surrogates are kept
// as they are; the conversion never raises except for lack of memory.
PyObject* text_to_str(const void* field, std::size_t units) noexcept;

}  // namespace qvn::convert
