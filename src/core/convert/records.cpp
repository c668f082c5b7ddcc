#include "convert/records.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <utility>

#include "convert/fields.hpp"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace qvn::convert {
namespace {

// Records are packed: every load goes through memcpy, which compiles to a
// plain unaligned load.
template <class T>
T load(const std::uint8_t* p) noexcept {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

std::uint16_t unit_at(const std::uint8_t* p, std::size_t i) noexcept { return load<std::uint16_t>(p + 2 * i); }

constexpr bool is_surrogate(std::uint32_t u) noexcept { return u >= 0xD800 && u <= 0xDFFF; }

// The code point starting at unit `i`, advancing `i` past it: a high
// surrogate followed by a low one is joined into one point; a lone surrogate
// stays a point of its own.
Py_UCS4 next_point(const std::uint8_t* p, std::size_t& i, std::size_t n) noexcept {
    const Py_UCS4 c = unit_at(p, i++);
    if (c >= 0xD800 && c <= 0xDBFF && i < n) {
        const std::uint16_t low = unit_at(p, i);
        if (low >= 0xDC00 && low <= 0xDFFF) {
            ++i;
            return 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00u);
        }
    }
    return c;
}

// Text with at least one surrogate unit: pairs become one code point, lone
// surrogates stay as they are (a str may hold them), so nothing can fail to
// decode.
PyObject* surrogate_text(const std::uint8_t* p, std::size_t n) noexcept {
    std::size_t points = 0;
    Py_UCS4 max = 0;
    for (std::size_t i = 0; i < n; ++points) max = std::max(max, next_point(p, i, n));
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(points), max);
    if (str == nullptr) return nullptr;
    const int kind = PyUnicode_KIND(str);
    void* data = PyUnicode_DATA(str);
    Py_ssize_t w = 0;
    for (std::size_t i = 0; i < n; ++w) PyUnicode_WRITE(kind, data, w, next_point(p, i, n));
    return str;
}

// Most doubles of a symbol record are +0.0 (the fields a symbol does not
// use); they share one float object instead of allocating one each. Floats
// are immutable, so sharing cannot be observed except through identity.
PyObject* float_value(const std::uint8_t* p) noexcept {
    static PyObject* const zero = [] {  // held for the process's life
        PyObject* z = PyFloat_FromDouble(0.0);
        if (z == nullptr) PyErr_Clear();
        return z;
    }();
    if (load<std::uint64_t>(p) == 0 && zero != nullptr) {
        Py_INCREF(zero);
        return zero;
    }
    return PyFloat_FromDouble(load<double>(p));
}

// Inlined into both forms of fill: a call per field costs more than most
// conversions.
[[gnu::always_inline]] inline PyObject* field_value(const Field& field, const std::uint8_t* record) noexcept {
    const std::uint8_t* p = record + field.offset;
    switch (field.kind) {
        case Kind::Bool: {
            PyObject* b = *p != 0 ? Py_True : Py_False;
            Py_INCREF(b);
            return b;
        }
        case Kind::U32: return PyLong_FromUnsignedLong(load<std::uint32_t>(p));
        case Kind::I32: return PyLong_FromLong(load<std::int32_t>(p));
        case Kind::U64: return PyLong_FromUnsignedLongLong(load<std::uint64_t>(p));
        case Kind::I64: return PyLong_FromLongLong(load<std::int64_t>(p));
        case Kind::F64: return float_value(p);
        case Kind::Text: return text_to_str(p, field.units);
        case Kind::Attached: break;  // supplied by fill's caller
    }
    return nullptr;
}

// The values already made for one list, so that a field whose bytes repeat
// those of an earlier record takes that record's object instead of a new
// one: records of one list repeat most of their values (the currencies, the
// descriptions, the trading terms, the quotes of symbols that share a price
// source), not only from one record to the next. The values are immutable,
// so sharing cannot be observed except through identity.
//
// Each record is first compared field by field with a reference record
// (the one before it, or the last one a repeated value was found in). A
// field that differs looks up one of its field's slots, picked by a hash of
// its bytes: a slot holds the latest record that held the value and that
// record's tuple, which the list keeps alive for the whole conversion. A
// value is only taken from a record holding the same bytes, so a collision
// costs a new value, never a wrong one.
//
// Records are held by their offset in the array, which may move between
// calls while it grows (rebase tells where it starts now).
class SharedValues {
public:
    SharedValues(std::span<const Field> fields, std::size_t record_size, std::size_t count) noexcept
        : usable_(fields.size() <= kMaxFields &&
                  std::none_of(fields.begin(), fields.end(), [](const Field& f) { return f.kind == Kind::Attached; })) {
        // Runs of numbers and bools that lie end to end in the record, in
        // tuple order, at most kRunBytes long; a text is a run of its own.
        for (std::size_t i = 0; usable_ && i < fields.size() && runs_used_ < kMaxFields;) {
            Run run{static_cast<std::uint16_t>(i), static_cast<std::uint16_t>(i + 1), fields[i].offset,
                    fields[i].width()};
            if (fields[i].kind != Kind::Text)
                while (run.end < fields.size() && fields[run.end].kind != Kind::Text &&
                       fields[run.end].offset == run.offset + run.bytes &&
                       run.bytes + fields[run.end].width() <= kRunBytes)
                    run.bytes += fields[run.end++].width();
            runs_[runs_used_++] = run;
            i = run.end;
        }
        if (count < 2 || !usable_) return;
        // A number, or a bool, whose record holds 8 bytes from its start
        // compares as one 8-byte load masked to its width.
        if constexpr (std::endian::native == std::endian::little) {
            for (std::size_t i = 0; i < fields.size() && i < kMaxFields; ++i) {
                const Field& f = fields[i];
                if (f.kind == Kind::Text || f.offset + std::size_t{8} > record_size) continue;
                const std::uint32_t width = f.width();
                masks_[i] = width >= 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * width)) - 1;
            }
        }
        while (bits_ < kMaxBits && (std::size_t{1} << bits_) < count) ++bits_;
        slots_.reset(new (std::nothrow) Slot[fields.size() << bits_]());
    }

    // Fills `tuple` (a new struct sequence whose slots hold anything) from
    // `record`, setting every slot (to null from a failed field on). A field
    // takes a shared value when an earlier record held the same bytes, else
    // a new one, which becomes shared.
    //
    // Records that repeat one value tend to repeat the next ones too (the
    // symbols of one price source share all but their names), so the record
    // a value was last found in becomes the one the next fields are first
    // compared with: one load and compare each while it keeps matching.
    //
    // A run of numbers whose bytes all equal the reference's takes the
    // reference's items at once; one that differs goes field by field.
    bool fill(PyObject* tuple, std::span<const Field> fields, const std::uint8_t* record) noexcept {
        // Kept in locals: the stores into the tuples could otherwise alias them.
        const std::uint8_t* reference = reference_at();
        PyObject* reference_tuple = reference_tuple_;
        for (std::size_t r = 0; r < runs_used_; ++r) {
            const Run run = runs_[r];
            if (reference != nullptr && run.end - run.begin > 1 &&
                equal_bytes(record + run.offset, reference + run.offset, run.bytes)) {
                PyObject* const* from = &PyTuple_GET_ITEM(reference_tuple, run.begin);
                PyObject** to = &PyTuple_GET_ITEM(tuple, run.begin);
#pragma GCC unroll 4
                for (std::size_t k = 0, n = run.end - run.begin; k < n; ++k) {
                    PyObject* value = from[k];
                    Py_INCREF(value);
                    to[k] = value;
                }
                continue;
            }
            for (std::size_t i = run.begin; i < run.end; ++i) {
                const Field& field = fields[i];
                PyObject* value;
                if (reference != nullptr && matches(i, field, record + field.offset, reference + field.offset)) {
                    value = item(reference_tuple, i);
                } else {
                    value = search(i, field, record, tuple);
                    if (value == nullptr) {
                        // The slots from here on were never set: the tuple's
                        // release must find them empty.
                        for (std::size_t k = i; k < fields.size(); ++k)
                            PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(k), nullptr);
                        return false;
                    }
                    reference = reference_at();
                    reference_tuple = reference_tuple_;
                }
                PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), value);
            }
        }
        return true;
    }

    // The values of a type with an Attached row cannot come from here.
    bool usable() const noexcept { return usable_; }

    // Where the records start now.
    void rebase(const std::uint8_t* records) noexcept { base_ = records; }

    // The next record is first compared with `record`, whose tuple is
    // `tuple` (borrowed; both must outlive the fill).
    void compare_with(const std::uint8_t* record, PyObject* tuple) noexcept {
        base_ = record;
        reference_ = 0;
        reference_tuple_ = tuple;
    }

    // Record `i` (records of `size` bytes, their tuples in `list`) is
    // converted. The next record is first compared with the one after the
    // record the last one ended comparing with: in a list that repeats its
    // pattern every n records (the symbols of each price source in turn),
    // that is the record n before it; in any other, it is mostly the one
    // just converted.
    void converted(std::size_t size, PyObject* list, std::size_t i) noexcept {
        std::size_t next = i;
        if (reference_ != kNone && reference_ / size < i) next = reference_ / size + 1;
        reference_ = next * size;
        reference_tuple_ = PyTuple_GET_ITEM(list, static_cast<Py_ssize_t>(next));
    }

private:
    static constexpr std::size_t kNone = SIZE_MAX;

    // A record (its offset, kNone in an empty slot) and its tuple, whose
    // item of the slot's field is the value that record's bytes make; the
    // tuple is borrowed (the list holds it).
    struct Slot {
        std::size_t record = kNone;
        PyObject* tuple = nullptr;
    };

    const std::uint8_t* reference_at() const noexcept { return reference_ != kNone ? base_ + reference_ : nullptr; }

    // The value of a field that differs from the reference record's.
    [[gnu::noinline]] PyObject* search(std::size_t i, const Field& field, const std::uint8_t* record,
                                       PyObject* tuple) noexcept {
        // A bool is shared anyway; a field that found no earlier value
        // kGiveUp times in a row (a name) is not looked up any more.
        if (!slots_ || field.kind == Kind::Bool || misses_[i] >= kGiveUp) return field_value(field, record);
        const std::uint8_t* p = record + field.offset;
        Slot& slot = slots_[(i << bits_) | static_cast<std::size_t>(hash_of(field, p) >> (64 - bits_))];
        const auto at = static_cast<std::size_t>(record - base_);
        if (slot.record != kNone && same(field, p, base_ + slot.record + field.offset)) {
            reference_ = slot.record;
            reference_tuple_ = slot.tuple;
            slot = {at, tuple};  // the latest record is the likeliest to match further
            misses_[i] = 0;
            return item(reference_tuple_, i);
        }
        ++misses_[i];
        PyObject* made = field_value(field, record);
        if (made != nullptr) slot = {at, tuple};
        return made;
    }

    // True when the `n` bytes at `a` and `b` are equal; n is at least 2. The
    // loads overlap rather than read past either range.
    static bool equal_bytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) noexcept {
#ifdef __SSE2__
        if (n >= 16) {
            __m128i diff = _mm_setzero_si128();
            for (std::size_t at = 0;; at += 16) {
                if (at + 16 > n) at = n - 16;
                const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + at));
                const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + at));
                diff = _mm_or_si128(diff, _mm_xor_si128(x, y));
                if (at + 16 == n) break;
            }
            return _mm_movemask_epi8(_mm_cmpeq_epi8(diff, _mm_setzero_si128())) == 0xFFFF;
        }
#endif
        if (n >= 8) {
            std::uint64_t diff = 0;
            for (std::size_t at = 0;; at += 8) {
                if (at + 8 > n) at = n - 8;
                diff |= load<std::uint64_t>(a + at) ^ load<std::uint64_t>(b + at);
                if (at + 8 == n) break;
            }
            return diff == 0;
        }
        if (n >= 4)
            return ((load<std::uint32_t>(a) ^ load<std::uint32_t>(b)) |
                    (load<std::uint32_t>(a + n - 4) ^ load<std::uint32_t>(b + n - 4))) == 0;
        return std::memcmp(a, b, n) == 0;
    }

    bool matches(std::size_t i, const Field& field, const std::uint8_t* p, const std::uint8_t* q) const noexcept {
        const std::uint64_t mask = masks_[i];
        return mask != 0 ? ((load<std::uint64_t>(p) ^ load<std::uint64_t>(q)) & mask) == 0 : same(field, p, q);
    }

    static PyObject* item(PyObject* tuple, std::size_t i) noexcept {
        PyObject* value = PyTuple_GET_ITEM(tuple, static_cast<Py_ssize_t>(i));
        Py_INCREF(value);
        return value;
    }

    static constexpr unsigned kMaxBits = 5;  // 32 slots a field
    static constexpr std::uint64_t kMix = 0x9E3779B97F4A7C15ull;

    // A hash of the field's bytes; a text's, of its first 16 units at most
    // (up to the block holding its first zero unit), which tell most texts
    // apart: texts that share them still compare whole.
    static std::uint64_t hash_of(const Field& field, const std::uint8_t* p) noexcept {
        switch (field.kind) {
            case Kind::U32:
            case Kind::I32: return (load<std::uint32_t>(p) + std::uint64_t{1}) * kMix;
            case Kind::Text: {
                std::uint64_t h = 0;
                for (std::size_t at = 0; at < 32 && at + 16 <= field.width(); at += 16) {
                    const auto low = load<std::uint64_t>(p + at);
                    const auto high = load<std::uint64_t>(p + at + 8);
                    h = ((h ^ low) * kMix ^ high) * kMix;
                    if (has_zero_unit(low) || has_zero_unit(high)) break;
                }
                return h;
            }
            default: return (load<std::uint64_t>(p) + 1) * kMix;
        }
    }

    static bool has_zero_unit(std::uint64_t word) noexcept {
        constexpr std::uint64_t kLanesLow = 0x0001000100010001ull;
        constexpr std::uint64_t kLanesHigh = 0x8000800080008000ull;
        return ((word - kLanesLow) & ~word & kLanesHigh) != 0;
    }

    // True when both fields make the same value. Numbers compare as one
    // load each; texts block by block up to the first zero unit, as what
    // follows it is not part of the text.
    static bool same(const Field& field, const std::uint8_t* a, const std::uint8_t* b) noexcept {
        switch (field.kind) {
            case Kind::U32:
            case Kind::I32: return load<std::uint32_t>(a) == load<std::uint32_t>(b);
            case Kind::Bool: return *a == *b;
            case Kind::Text: return same_text(a, b, field.width());
            default: return load<std::uint64_t>(a) == load<std::uint64_t>(b);
        }
    }

    static bool same_text(const std::uint8_t* a, const std::uint8_t* b, std::size_t width) noexcept {
        std::size_t at = 0;
#ifdef __SSE2__
        // Eight units at a time: equal up to the first zero unit of `a`.
        for (const __m128i zero = _mm_setzero_si128(); at + 16 <= width; at += 16) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + at));
            const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + at));
            const auto differ = ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(x, y))) & 0xFFFFu;
            const auto zeros = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(x, zero)));
            if (zeros != 0) return (differ & (((zeros & (0u - zeros)) << 2) - 1)) == 0;  // up to the zero unit
            if (differ != 0) return false;
        }
#endif
        for (; at + 8 <= width; at += 8) {
            const auto word = load<std::uint64_t>(a + at);
            if (word != load<std::uint64_t>(b + at)) return false;
            if (has_zero_unit(word)) return true;
        }
        for (; at + 2 <= width; at += 2) {
            const auto unit = load<std::uint16_t>(a + at);
            if (unit != load<std::uint16_t>(b + at)) return false;
            if (unit == 0) return true;
        }
        return true;
    }

    // Fields [begin, end) of the tuple, whose bytes lie end to end from
    // `offset` on in the record.
    struct Run {
        std::uint16_t begin;
        std::uint16_t end;
        std::uint32_t offset;
        std::uint32_t bytes;
    };
    static constexpr std::uint32_t kRunBytes = 256;
    static constexpr std::uint8_t kGiveUp = 64;

    bool usable_;  // an Attached row has no bytes to compare: such types share nothing
    std::array<std::uint64_t, kMaxFields> masks_{};  // per field: the bytes of its 8-byte load, or 0
    std::array<std::uint8_t, kMaxFields> misses_{};  // per field: lookups in a row that found nothing
    std::array<Run, kMaxFields> runs_{};
    std::size_t runs_used_ = 0;
    std::unique_ptr<Slot[]> slots_;
    unsigned bits_ = 0;
    const std::uint8_t* base_ = nullptr;
    std::size_t reference_ = kNone;
    PyObject* reference_tuple_ = nullptr;
};

// Fills `tuple` (a new struct sequence with empty slots) from `record`;
// `attached` (owned, consumed here) fills the Attached row. In a list,
// `shared` gives the values repeated from earlier records.
bool fill(PyObject* tuple, std::span<const Field> fields, const std::uint8_t* record, PyObject* attached,
          SharedValues* shared) noexcept {
    if (shared != nullptr) return shared->fill(tuple, fields, record);  // no Attached row (see SharedValues)
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const Field& field = fields[i];
        PyObject* value = nullptr;
        if (field.kind == Kind::Attached)
            std::swap(value, attached);
        else
            value = field_value(field, record);
        if (value == nullptr) {
            Py_XDECREF(attached);
            return false;
        }
        PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), value);
    }
    Py_XDECREF(attached);  // a type without an Attached row leaves it unused
    return true;
}

// A new struct sequence of `type` with `size` slots, empty when `cleared`
// (else holding anything, which the caller sets every one of), as
// PyStructSequence_New makes it. Every field of the module's types is in the
// sequence, so the object is a tuple of `size` items; allocating it directly
// spares the two lookups of the sizes in the type's dictionary per record.
PyObject* new_struct(PyTypeObject* type, std::size_t size, bool cleared) noexcept {
    if (type == nullptr) return nullptr;
#if PY_VERSION_HEX >= 0x030F0000
    // A tuple's layout is only known up to 3.14: later ones take the public call.
    static_cast<void>(size);
    static_cast<void>(cleared);
    return PyStructSequence_New(type);
#else
    PyTupleObject* tuple = PyObject_GC_NewVar(PyTupleObject, type, static_cast<Py_ssize_t>(size));
    if (tuple == nullptr) return nullptr;
    if (cleared) std::memset(tuple->ob_item, 0, size * sizeof(PyObject*));
#if PY_VERSION_HEX >= 0x030E0000
    tuple->ob_hash = -1;  // tuples cache their hash from 3.14 on: start with none
#endif
    return reinterpret_cast<PyObject*>(tuple);
#endif
}

}  // namespace

#ifdef __SSE2__
namespace {

// Row k: all bits set in the first k 16-bit lanes of a block, none after.
constexpr std::uint8_t kLanesBefore[8][16] = {
    {},
    {0xFF, 0xFF},
    {0xFF, 0xFF, 0xFF, 0xFF},
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
};

}  // namespace
#endif

PyObject* text_to_str(const void* field, std::size_t units) noexcept {
    const auto* p = static_cast<const std::uint8_t*>(field);
    [[maybe_unused]] const std::size_t width = units;
    // One pass finds the end of the text and the OR of its units: eight
    // units at a time while no block holds a zero unit, then one by one.
    std::size_t n = 0;
    std::uint64_t bits = 0;
#ifdef __SSE2__
    {
        const __m128i zero = _mm_setzero_si128();
        __m128i seen = zero;
        bool ended = false;
        while (n + 8 <= units) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2 * n));
            const int zeros = _mm_movemask_epi8(_mm_cmpeq_epi16(block, zero));
            if (zeros != 0) {
                // The text ends in this block: only the units before its
                // first zero unit count.
                const int before = std::countr_zero(static_cast<unsigned>(zeros)) / 2;
                const __m128i keep = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kLanesBefore[before]));
                seen = _mm_or_si128(seen, _mm_and_si128(block, keep));
                n += static_cast<std::size_t>(before);
                ended = true;
                break;
            }
            seen = _mm_or_si128(seen, block);
            n += 8;
        }
        bits = static_cast<std::uint64_t>(_mm_cvtsi128_si64(seen)) |
               static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(seen, seen)));
        if (ended) units = n;  // the scalar scan below has nothing left to find
    }
#else
    constexpr std::uint64_t kLanesLow = 0x0001000100010001ull;
    constexpr std::uint64_t kLanesHigh = 0x8000800080008000ull;
    while (n + 4 <= units) {
        const auto word = load<std::uint64_t>(p + 2 * n);
        if (((word - kLanesLow) & ~word & kLanesHigh) != 0) break;  // a zero unit lies in this word
        bits |= word;
        n += 4;
    }
#endif
    for (std::uint16_t u; n < units && (u = unit_at(p, n)) != 0; ++n) bits |= u;
    const auto all = static_cast<std::uint16_t>(bits | bits >> 16 | bits >> 32 | bits >> 48);

    if (all < 0x100) {
        // Latin-1, ASCII above all: one byte per character, narrowed in place.
        PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(n), all < 0x80 ? 0x7F : 0xFF);
        if (str == nullptr) return nullptr;
        Py_UCS1* out = PyUnicode_1BYTE_DATA(str);
        std::size_t i = 0;
#ifdef __SSE2__
        // Every unit is below 0x100, so packing with saturation keeps each.
        for (; i + 16 <= n; i += 16) {
            const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2 * i));
            const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2 * i + 16));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(low, high));
        }
        if (i < n && i + 16 <= width) {
            // The rest is shorter than 16 units but the field holds 16 more:
            // narrowed together, then copied in pieces of 8, 4, 2 and 1.
            const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2 * i));
            const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2 * i + 16));
            alignas(16) std::uint8_t narrowed[16];
            _mm_store_si128(reinterpret_cast<__m128i*>(narrowed), _mm_packus_epi16(low, high));
            const std::size_t rest = n - i;
            std::size_t at = 0;
            if (rest & 8) {
                std::memcpy(out + i, narrowed, 8);
                at = 8;
            }
            if (rest & 4) {
                std::memcpy(out + i + at, narrowed + at, 4);
                at += 4;
            }
            if (rest & 2) {
                std::memcpy(out + i + at, narrowed + at, 2);
                at += 2;
            }
            if (rest & 1) out[i + at] = narrowed[at];
            i = n;
        }
#endif
        for (; i < n; ++i) out[i] = p[2 * i];
        return str;
    }
    for (std::size_t i = 0; i < n; ++i)
        if (is_surrogate(unit_at(p, i))) return surrogate_text(p, n);
    // Basic Multilingual Plane without surrogates: the units are the string.
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(n), 0xFFFF);
    if (str == nullptr) return nullptr;
    std::memcpy(PyUnicode_2BYTE_DATA(str), p, 2 * n);
    return str;
}

PyObject* make_record_tuple(TypeId type, const void* record) noexcept {
    return make_record_tuple(type, record, nullptr);
}

namespace {

PyObject* record_tuple(TypeId type, const std::uint8_t* record, PyObject* attached,
                       SharedValues* shared) noexcept {
    const std::span<const Field> fields = fields_of(type);
    // SharedValues::fill sets every slot itself, failing or not.
    PyObject* tuple = new_struct(type_of(type), fields.size(), shared == nullptr);
    if (tuple == nullptr) {
        Py_XDECREF(attached);
        PyErr_Clear();
        return nullptr;
    }
    if (!fill(tuple, fields, record, attached, shared)) {
        Py_DECREF(tuple);  // empty slots are null, which the tuple's release skips
        PyErr_Clear();
        return nullptr;
    }
    return tuple;
}

}  // namespace

PyObject* make_record_tuple(TypeId type, const void* record, PyObject* attached) noexcept {
    return record_tuple(type, static_cast<const std::uint8_t*>(record), attached, nullptr);
}

namespace {

// The tuple made last for a type and a copy of its record. A single record
// asked for again mostly holds what it held before (the account's names and
// currency, the Terminal's paths, a symbol's terms): the same record gets
// the same tuple again, and a changed one takes the earlier tuple's values
// where the bytes are the same. Tuples and values are immutable, so sharing
// cannot be observed except through identity. Used by the holder of the call
// lock, with the interpreter lock; `busy` turns away a conversion started
// from within one (a finalizer run by an allocation), which converts
// without it.
struct LastRecord {
    std::unique_ptr<std::uint8_t[]> bytes;
    PyObject* tuple = nullptr;  // lives as long as the process, or until the next record
    std::unique_ptr<SharedValues> shared;
    bool busy = false;
};

std::array<LastRecord, kTypeCount> g_last_records;

}  // namespace

PyObject* make_record_tuple_like_last(TypeId type, const void* record) noexcept {
    LastRecord& last = g_last_records[static_cast<std::size_t>(type)];
    const auto* bytes = static_cast<const std::uint8_t*>(record);
    const std::size_t size = record_size_of(type);
    if (last.busy) return record_tuple(type, bytes, nullptr, nullptr);
    if (!last.shared) {
        last.bytes.reset(new (std::nothrow) std::uint8_t[size]);
        // One record: no slots to look values up in, only the earlier record.
        last.shared.reset(new (std::nothrow) SharedValues(fields_of(type), size, 1));
        if (!last.bytes || !last.shared || !last.shared->usable()) {
            last.shared.reset();
            return record_tuple(type, bytes, nullptr, nullptr);
        }
    }
    if (last.tuple != nullptr && std::memcmp(last.bytes.get(), bytes, size) == 0) {
        Py_INCREF(last.tuple);  // the same record: the same tuple
        return last.tuple;
    }
    last.busy = true;
    if (last.tuple != nullptr) last.shared->compare_with(last.bytes.get(), last.tuple);
    PyObject* tuple = record_tuple(type, bytes, nullptr, last.shared.get());
    PyObject* earlier = nullptr;
    if (tuple != nullptr) {  // else the last record stays
        std::memcpy(last.bytes.get(), bytes, size);
        Py_INCREF(tuple);
        earlier = std::exchange(last.tuple, tuple);
    }
    last.busy = false;
    Py_XDECREF(earlier);
    return tuple;
}

namespace {

// Holds the cyclic collector off while a list is built: its items are
// untracked tuples of numbers and texts, so the collections their
// allocations would start have nothing of theirs to look at. The one that
// is owed starts at the next allocation after.
class CollectorPaused {
public:
#if PY_VERSION_HEX >= 0x030A0000
    CollectorPaused() noexcept : was_on_(PyGC_Disable() != 0) {}
    ~CollectorPaused() {
        if (was_on_) PyGC_Enable();
    }

private:
    bool was_on_;
#endif
};

}  // namespace

struct RecordTuples::State {
    State(TypeId t, std::size_t n) noexcept : type(t), size(record_size_of(t)), count(n) {
        // A list of one is made from its type's last record (see convert),
        // and shares nothing within itself: no tables to make for it.
        if (n != 1) shared.reset(new (std::nothrow) SharedValues(fields_of(t), size, n));
    }
    TypeId type;
    std::size_t size;
    std::size_t count;
    std::size_t done = 0;  // records converted
    std::unique_ptr<SharedValues> shared;  // none when there was no memory for it: nothing is shared
};

RecordTuples::RecordTuples(TypeId type, std::size_t count) noexcept {
    if (count <= static_cast<std::size_t>(PY_SSIZE_T_MAX)) state_.reset(new (std::nothrow) State(type, count));
}

RecordTuples::~RecordTuples() { Py_XDECREF(list_); }

bool RecordTuples::fail() noexcept {
    Py_CLEAR(list_);  // the items set so far go with it
    state_.reset();   // later calls do nothing
    return false;
}

bool RecordTuples::convert(const void* records, std::size_t arrived) noexcept {
    if (!state_) return false;
    State& st = *state_;
    const std::size_t end = std::min(arrived, st.count);
    if (end <= st.done) return true;
    // The tuple grows with the records that have arrived, as their storage
    // does, rather than taking the count a peer declares on trust.
    const std::size_t held = list_ != nullptr ? static_cast<std::size_t>(PyTuple_GET_SIZE(list_)) : 0;
    if (end > held) {
        const auto room = static_cast<Py_ssize_t>(std::min(st.count, std::max(end, 2 * held)));
        if (list_ == nullptr)
            list_ = PyTuple_New(room);
        else
            _PyTuple_Resize(&list_, room);  // the slots added are empty; null on failure
        if (list_ == nullptr) {
            PyErr_Clear();
            return fail();
        }
    }
    const CollectorPaused paused;
    const auto* bytes = static_cast<const std::uint8_t*>(records);
    SharedValues* shared = st.shared && st.shared->usable() ? st.shared.get() : nullptr;
    if (shared != nullptr) shared->rebase(bytes);
    // A list of one record (the one position held, an order looked up by
    // its ticket) is mostly asked for again with the same record in it, a
    // few of its figures changed: it is made as a single record is, from
    // the last one of its type.
    if (st.count == 1) {
        PyObject* item = make_record_tuple_like_last(st.type, bytes);
        if (item == nullptr) return fail();
        PyTuple_SET_ITEM(list_, 0, item);
        st.done = end;
        return true;
    }
    for (std::size_t i = st.done; i < end; ++i) {
        PyObject* item = record_tuple(st.type, bytes + i * st.size, nullptr, shared);
        if (item == nullptr) return fail();
        PyTuple_SET_ITEM(list_, static_cast<Py_ssize_t>(i), item);
        if (shared != nullptr) shared->converted(st.size, list_, i);
    }
    st.done = end;
    return true;
}

PyObject* RecordTuples::finish() noexcept {
    if (!state_ || state_->done != state_->count) return nullptr;
    if (state_->count == 0) {
        PyObject* empty = PyTuple_New(0);
        if (empty == nullptr) PyErr_Clear();
        return empty;
    }
    return std::exchange(list_, nullptr);
}

PyObject* make_record_tuples(TypeId type, const void* records, std::size_t count) noexcept {
    RecordTuples tuples(type, count);
    tuples.convert(records, count);
    return tuples.finish();
}

}  // namespace qvn::convert
