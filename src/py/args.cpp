#include "py/args.hpp"

#include <algorithm>
#include <string>

#include "core/fault.hpp"
#include "py/python_error.hpp"

namespace quarvel::py {

namespace {

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string english_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

[[noreturn]] void too_many_positional(const Signature& sig, Py_ssize_t given) {
    const std::size_t total = sig.params.size();
    std::string takes = sig.required == total
                            ? std::to_string(total)
                            : "from " + std::to_string(sig.required) + " to " + std::to_string(total);
    throw_new(PyExc_TypeError, std::string(sig.name) + "() takes " + takes +
                                   " positional arguments but " + std::to_string(given) +
                                   (given == 1 ? " was" : " were") + " given");
}

std::size_t parameter_index(const Signature& sig, PyObject* keyword) {
    for (std::size_t i = 0; i < sig.params.size(); ++i)
        if (PyUnicode_CompareWithASCIIString(keyword, sig.params[i]) == 0) return i;
    return sig.params.size();
}

std::string utf8(PyObject* text) {
    const char* s = PyUnicode_AsUTF8(text);
    if (!s) throw_pending();
    return s;
}

double item_as_float(PyObject* seq, long index) {
    PyRef key = created(PyLong_FromLong(index));
    PyRef value = PyRef::steal(PyObject_GetItem(seq, key.get()));
    if (!value) throw_pending();
    return to_float(value.get());
}

[[noreturn]] void not_a_sequence(PyObject* obj) {
    throw_new(PyExc_TypeError, "'" + type_qualname(obj) + "' object cannot be converted to 'Sequence'");
}

std::uint64_t to_u64(PyObject* integer) {
    unsigned long long value = PyLong_AsUnsignedLongLong(integer);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_pending();
    return value;
}

// The module and plain name of an object's type.
std::pair<std::string, std::string> type_module_and_name(PyObject* obj) {
    PyRef module = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__module__"));
    std::string module_name;
    if (module && PyUnicode_Check(module.get())) {
        if (const char* s = PyUnicode_AsUTF8(module.get())) module_name = s;
    }
    PyErr_Clear();
    PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
    std::string type_name;
    if (name) {
        if (const char* s = PyUnicode_AsUTF8(name.get())) type_name = s;
    }
    PyErr_Clear();
    return {module_name, type_name};
}

}  // namespace

BoundArgs bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    BoundArgs bound;
    const std::size_t total = sig.params.size();
    if (total > bound.slots.size()) fault("too many parameters for BoundArgs: " + std::to_string(total));
    if (static_cast<std::size_t>(nargs) > total) too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) bound.slots[i] = args[i];

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const std::size_t index = parameter_index(sig, keyword);
        if (index == total)
            throw_new(PyExc_TypeError, std::string(sig.name) +
                                           "() got an unexpected keyword argument '" +
                                           utf8(keyword) + "'");
        if (bound.slots[index])
            throw_new(PyExc_TypeError, std::string(sig.name) +
                                           "() got multiple values for argument '" +
                                           utf8(keyword) + "'");
        bound.slots[index] = args[nargs + k];
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < sig.required; ++i)
        if (!bound.slots[i]) missing.push_back(sig.params[i]);
    if (!missing.empty())
        throw_new(PyExc_TypeError, std::string(sig.name) + "() missing " +
                                       std::to_string(missing.size()) + " required positional " +
                                       (missing.size() == 1 ? "argument: " : "arguments: ") +
                                       english_list(missing));
    return bound;
}

void rethrow_for_parameter(const char* parameter) {
    PyRef original = PyRef::steal(PyErr_GetRaisedException());
    if (!original || !PyErr_GivenExceptionMatches(original.get(), PyExc_TypeError)) {
        PyErr_SetRaisedException(original.release());
        throw_pending();
    }
    PyRef text = PyRef::steal(PyObject_Str(original.get()));
    if (!text) throw_pending();
    PyRef message = created(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
    PyRef replacement = created(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
    PyErr_SetRaisedException(replacement.release());
    throw_pending();
}

Vec3 to_point_triple(PyObject* obj) {
    if (!PySequence_Check(obj)) not_a_sequence(obj);
    const Py_ssize_t length = PyObject_Size(obj);
    if (length < 0) throw_pending();
    if (length != 3)
        throw_new(PyExc_ValueError,
                  "expected a sequence of length 3 (got " + std::to_string(length) + ")");
    return {item_as_float(obj, 0), item_as_float(obj, 1), item_as_float(obj, 2)};
}

std::vector<Vec3> to_point_list(PyObject* obj) {
    if (PyUnicode_Check(obj)) throw_new(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj)) not_a_sequence(obj);
    std::vector<Vec3> points;
    // The length only sizes the reservation, capped so that a length the
    // object does not deliver cannot ask for more memory than there is.
    constexpr Py_ssize_t kMaxReserved = Py_ssize_t{1} << 20;
    const Py_ssize_t hint = PyObject_Size(obj);
    if (hint < 0)
        PyErr_Clear();
    else
        points.reserve(static_cast<std::size_t>(std::min(hint, kMaxReserved)));
    PyRef iterator = PyRef::steal(PyObject_GetIter(obj));
    if (!iterator) throw_pending();
    while (PyObject* raw = PyIter_Next(iterator.get())) {
        PyRef element = PyRef::steal(raw);
        points.push_back(to_point_triple(element.get()));
    }
    if (PyErr_Occurred()) throw_pending();
    return points;
}

double to_float(PyObject* obj) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) throw_pending();
    return value;
}

std::uint32_t to_u32(PyObject* obj) {
    std::uint64_t value;
    if (PyLong_Check(obj)) {
        value = to_u64(obj);
    } else {
        PyRef index = PyRef::steal(PyNumber_Index(obj));
        if (!index) throw_pending();
        value = to_u64(index.get());
    }
    if (value > 0xFFFFFFFFull)
        throw_new(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<std::uint32_t>(value);
}

bool to_bool(PyObject* obj) {
    if (obj == Py_True) return true;
    if (obj == Py_False) return false;
    auto [module, name] = type_module_and_name(obj);
    if (module == "numpy" && (name == "bool_" || name == "bool")) {
        PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
        if (!number || !number->nb_bool)
            throw_new(PyExc_TypeError, "object of type '" + type_qualname(obj) +
                                           "' does not define a '__bool__' conversion");
        const int truth = number->nb_bool(obj);
        if (truth < 0) throw_pending();
        return truth != 0;
    }
    throw_new(PyExc_TypeError, "'" + type_qualname(obj) + "' object cannot be converted to 'PyBool'");
}

void check_depths(const char* max_name, std::uint32_t min_depth, std::uint32_t max_depth) {
    if (max_depth > 31)
        throw_new(PyExc_ValueError, std::string(max_name) + " must be at most 31 (got " +
                                        std::to_string(max_depth) + ")");
    if (min_depth > max_depth)
        throw_new(PyExc_ValueError, "min_depth must not exceed max_depth (got " +
                                        std::to_string(min_depth) + " > " +
                                        std::to_string(max_depth) + ")");
}

FieldAndBox convert_field_and_box(const Signature& sig, const BoundArgs& args) {
    return {PyRef::borrow(args[0]), convert_arg(sig, 1, args[1], to_point_triple),
            convert_arg(sig, 2, args[2], to_point_triple)};
}

}  // namespace quarvel::py
