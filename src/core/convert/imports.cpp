#define QVN_IMPORTS_NUMPY
#include "convert/imports.hpp"

#include "convert/numpy.hpp"

#include <datetime.h>


namespace qvn::convert {
namespace {

PyDateTime_CAPI* g_datetime = nullptr;

// NumPy's import macro returns from the function it is used in.
int import_numpy() {
    import_array1(-1);
    return 0;
}

}  // namespace

bool import_c_apis() noexcept {
    g_datetime = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
    return g_datetime != nullptr && import_numpy() == 0;
}

PyTypeObject* datetime_type() noexcept { return g_datetime != nullptr ? g_datetime->DateTimeType : nullptr; }

}  // namespace qvn::convert
