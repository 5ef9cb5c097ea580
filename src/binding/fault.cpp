#include "binding/fault.hpp"

#include <execinfo.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string_view>

#include "binding/error.hpp"
#include "binding/once_cell.hpp"
#include "common/fault.hpp"

namespace pwpoly::binding {

namespace {

constexpr const char* fault_exception_doc =
    "\n"
    "The exception raised when C++ code called from Python hits an internal fault.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

constexpr const char* foreign_fault_message = "a C++ exception of unknown type was thrown in native code";

OnceCell fault_exception_cell;

// Both extension modules of the package (pwpoly and pwpoly_numpy's kernels) carry this layer,
// each with its own cells. The exception type is shared between them through the
// interpreter's dictionary for extension state, so that one class catches a fault of either.
constexpr const char* shared_type_key = "pwpoly.internal_fault_exception";

// The type another module has published, or null (a non-exception under the key is ignored).
Ref published_fault_type() {
    PyObject* registry = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (registry == nullptr) return Ref();
    PyObject* found = nullptr;
    if (PyDict_GetItemStringRef(registry, shared_type_key, &found) < 0) PyErr_Clear();
    Ref type = Ref::steal(found);
    if (type && !PyExceptionClass_Check(type.get())) return Ref();
    return type;
}

Ref new_fault_type() {
    Ref type = Ref::steal(PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", fault_exception_doc,
                                                    PyExc_BaseException, nullptr));
    if (!type) {
        PyErr_Clear();
        throw InternalFault("Failed to initialize new exception type.");
    }
    PyObject* registry = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (registry == nullptr) return type;
    // Published unless another module got there first (its type is then used instead).
    Ref key = Ref::steal(PyUnicode_InternFromString(shared_type_key));
    PyObject* winner = nullptr;
    if (!key || PyDict_SetDefaultRef(registry, key.get(), type.get(), &winner) < 0) {
        PyErr_Clear();
        return type;
    }
    Ref shared = Ref::steal(winner);
    if (PyExceptionClass_Check(shared.get())) return shared;
    return type;
}

}  // namespace

PyObject* fault_exception_type() {
    return fault_exception_cell.get_or_init([] {
        if (Ref type = published_fault_type()) return type;
        return new_fault_type();
    });
}

namespace {

std::string thread_name() {
    if (::syscall(SYS_gettid) == ::getpid()) return "main";
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) == 0 && name[0] != '\0') return name;
    return "<unnamed>";
}

// Path from the source tree's root, for a short report.
std::string_view source_file(const char* path) {
    std::string_view file(path);
    const auto at = file.rfind("src/");
    return at == std::string_view::npos ? file : file.substr(at);
}

void report_fault(const std::string& message, const std::source_location* where, const std::vector<void*>* frames) {
    static std::atomic<bool> reported_before{false};
    const std::string thread = thread_name();
    if (where != nullptr) {
        const std::string_view file = source_file(where->file_name());
        (void)std::fprintf(stderr, "thread '%s' hit a C++ fault at %.*s:%u:%u:\n%s\n", thread.c_str(),
                           static_cast<int>(file.size()), file.data(), where->line(), where->column(), message.c_str());
    } else {
        (void)std::fprintf(stderr, "thread '%s' hit a C++ fault:\n%s\n", thread.c_str(), message.c_str());
    }
    if (frames != nullptr && !frames->empty()) {
        (void)std::fputs("stack backtrace:\n", stderr);
        (void)std::fflush(stderr);
        ::backtrace_symbols_fd(frames->data(), static_cast<int>(frames->size()), STDERR_FILENO);
    } else if (!reported_before.exchange(true)) {
        (void)std::fprintf(stderr, "note: run with `%s=1` environment variable to display a C++ backtrace\n",
                           backtrace_variable);
    }
    (void)std::fflush(stderr);
}

void raise_fault(const std::string& message) {
    PyObject* type = fault_exception_type();
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) throw InternalFault("Python API call failed");
    PyErr_SetObject(type, text.get());
}

// The internal-fault type, or null if no module of the package has created it yet.
PyObject* fault_exception_type_if_created() noexcept {
    if (PyObject* type = fault_exception_cell.get()) return type;
    // Created by the other module? Then this one adopts it.
    Ref type = published_fault_type();
    return type ? fault_exception_cell.get_or_init([&] { return std::move(type); }) : nullptr;
}

}  // namespace

// Defined here rather than with the rest of PyError: only this layer knows the internal-fault type.
PyError PyError::fetch() {
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    if (!exception) return lazy(PyExc_SystemError, "attempted to fetch exception but none was set");
    PyObject* fault_type = fault_exception_type_if_created();
    if (fault_type != nullptr && Py_TYPE(exception.get()) == reinterpret_cast<PyTypeObject*>(fault_type)) {
        std::string message = "Unwrapped panic from Python code";
        if (Ref text = Ref::steal(PyObject_Str(exception.get()))) {
            message = lenient_utf8(text.get());
        } else {
            PyErr_Clear();
        }
        (void)std::fputs("--- C++ fault resumed: a PanicException was fetched from Python code ---\n", stderr);
        (void)std::fputs("Python stack trace below:\n", stderr);
        (void)std::fflush(stderr);
        PyErr_SetRaisedException(exception.release());
        PyErr_PrintEx(0);
        throw InternalFault(std::move(message));
    }
    return raised(std::move(exception));
}

void raise_current_exception() {
    if (forced_unwind_in_flight()) throw;
    try {
        try {
            throw;
        } catch (PyError& error) {
            std::move(error).restore();
        } catch (const InternalFault& fault) {
            report_fault(fault.message(), &fault.where(), &fault.frames());
            raise_fault(fault.message());
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& error) {
            report_fault(error.what(), nullptr, nullptr);
            raise_fault(error.what());
        } catch (...) {
            report_fault(foreign_fault_message, nullptr, nullptr);
            raise_fault(foreign_fault_message);
        }
    } catch (...) {
        if (forced_unwind_in_flight()) throw;
        (void)std::fputs("uncaught panic at ffi boundary\n", stderr);
        (void)std::fflush(stderr);
        std::abort();
    }
}

}  // namespace pwpoly::binding
