// RAII owners for the interpreter resources the boundary holds: strong
// references, buffer views and the released interpreter lock.
//
// Everything here is used with the interpreter lock held, except that a
// ReleasedLock spans a region run without it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>
#include <unistd.h>

#include <utility>

namespace ondrel::py {

// Owns one strong reference (or none). Constructing from a pointer steals the
// reference, which fits the "new reference or NULL" results of the C API.
class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject* owned) noexcept : object_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Py_XSETREF(object_, std::exchange(other.object_, nullptr));
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    // Takes a new strong reference to a borrowed object.
    [[nodiscard]] static Ref borrow(PyObject* borrowed) noexcept { return Ref(Py_XNewRef(borrowed)); }

    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    // Hands the reference to the caller; this Ref is empty afterwards.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

// A Py_buffer view that is released with its owner. `acquire` returns false
// with the exporter's exception set when the view cannot be had.
class BufferView {
public:
    BufferView() noexcept = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }

    [[nodiscard]] bool acquire(PyObject* exporter, int flags) noexcept {
        held_ = PyObject_GetBuffer(exporter, &view_, flags) == 0;
        return held_;
    }
    [[nodiscard]] const Py_buffer& view() const noexcept { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Takes the interpreter lock back for `state`. A thread that does so while
// the interpreter finalizes is ended by the interpreter with pthread_exit,
// whose forced unwind would reach noexcept frames (this guard's destructor,
// the entry points' catch-all) and abort the whole process. Such a thread is
// parked instead, as CPython 3.14 does itself: it holds no lock and touches
// no Python object, and the process exit ends it.
inline void take_lock_back(PyThreadState* state) noexcept {
    try {
        PyEval_RestoreThread(state);
    } catch (abi::__forced_unwind&) {
        for (;;) pause();
    }
}

// Releases the interpreter lock for its lifetime and takes it back on every
// way out, including unwinding, so nothing is ever raised without the lock.
class ReleasedLock {
public:
    ReleasedLock() noexcept : state_(PyEval_SaveThread()) {}
    ReleasedLock(const ReleasedLock&) = delete;
    ReleasedLock& operator=(const ReleasedLock&) = delete;
    ~ReleasedLock() { take_lock_back(state_); }

private:
    PyThreadState* state_;
};

}  // namespace ondrel::py
