// ondrel_cli._blocks: the command's work on many small blocks in one call.
//
// A 1 GiB file coded 342 + 681 makes 200 k blocks of 16 KiB. zlib.crc32 on
// each one releases and retakes the interpreter lock per block, and the
// command's worker threads then spend more time handing the lock around
// than computing; here a whole range of blocks is checksummed with the lock
// released once, by carry-less multiplication where the CPU has it (ten
// times zlib's table code). Reading a range of 1,023 shard files is the
// same: one os.pread per file hands the lock around a thousand times.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <unistd.h>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <span>
#include <vector>

#include "block_crc.hpp"
#include "codec/engine/engine_default.hpp"
#include "py_handles.hpp"
#include "src/jam/jam.hpp"

namespace {

using ondrel::py::BufferView;
using ondrel::py::Ref;
using ondrel::py::ReleasedLock;

// Below this many bytes in all, releasing the lock costs more than it saves.
constexpr std::size_t RELEASE_BYTES = 64 * 1024;

// Resizes `out` to `count` value-initialised items; false with MemoryError
// set when that fails.
template <typename T>
bool sized(std::vector<T>& out, std::size_t count) noexcept {
    try {
        out.resize(count);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

// Runs `work` (noexcept, touching no Python object) with the interpreter
// lock released when it handles `bytes` bytes, enough to be worth it.
template <class Work>
void run_released(std::size_t bytes, Work&& work) noexcept {
    if (bytes >= RELEASE_BYTES) {
        ReleasedLock unlocked;
        work();
    } else {
        work();
    }
}

// A new list of True and False for `flags`.
PyObject* bool_list(const std::vector<char>& flags) noexcept {
    Ref list(PyList_New(static_cast<Py_ssize_t>(flags.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < flags.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(flags[i] ? Py_True : Py_False));
    return list.release();
}

// Unsigned integers of a sequence (PySequence_Fast result), each at most
// `limit`; false with an exception set otherwise.
bool unsigned_items(PyObject* sequence, const char* what, unsigned long long limit,
                    std::vector<std::uint64_t>& out) noexcept {
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence);
    if (!sized(out, static_cast<std::size_t>(count))) return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        const unsigned long long value = PyLong_AsUnsignedLongLong(PySequence_Fast_GET_ITEM(sequence, i));
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
        if (value > limit) {
            PyErr_Format(PyExc_OverflowError, "%s out of range 0..%llu", what, limit);
            return false;
        }
        out[static_cast<std::size_t>(i)] = value;
    }
    return true;
}

// Buffer views of every item of a sequence (PySequence_Fast result), held
// until `views` goes; their total length in `total`. False with an
// exception set when an item is not a C-contiguous bytes-like object.
bool acquire_all(PyObject* sequence, std::vector<BufferView>& views, std::size_t& total) noexcept {
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence);
    try {
        views = std::vector<BufferView>(static_cast<std::size_t>(count));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    total = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        BufferView& view = views[static_cast<std::size_t>(i)];
        if (!view.acquire(PySequence_Fast_GET_ITEM(sequence, i), PyBUF_C_CONTIGUOUS)) return false;
        total += static_cast<std::size_t>(view.view().len);
    }
    return true;
}

// crc32_many(buffers, seeds) -> list[int]: zlib.crc32(buffers[i], seeds[i])
// for every i. Both are sequences of one length; each buffer is a
// C-contiguous bytes-like object, each seed an int in 0..2**32-1.
PyObject* crc32_many(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "crc32_many() takes 2 positional arguments (%zd given)", nargs);
        return nullptr;
    }
    Ref buffers(PySequence_Fast(args[0], "crc32_many() buffers must be a sequence"));
    if (!buffers) return nullptr;
    Ref seeds(PySequence_Fast(args[1], "crc32_many() seeds must be a sequence"));
    if (!seeds) return nullptr;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(buffers.get());
    if (PySequence_Fast_GET_SIZE(seeds.get()) != count) {
        PyErr_Format(PyExc_ValueError, "crc32_many() got %zd buffers and %zd seeds", count,
                     PySequence_Fast_GET_SIZE(seeds.get()));
        return nullptr;
    }

    // Views stay held, and so their exporters alive, until the results exist.
    std::vector<BufferView> views;
    std::size_t total = 0;
    if (!acquire_all(buffers.get(), views, total)) return nullptr;
    std::vector<std::uint64_t> crcs;  // the seeds, then the results
    if (!unsigned_items(seeds.get(), "crc32_many() seed", 0xFFFFFFFFULL, crcs)) return nullptr;

    run_released(total, [&]() noexcept {
        for (std::size_t i = 0; i < crcs.size(); ++i) {
            const Py_buffer& view = views[i].view();
            const std::span<const unsigned char> bytes(static_cast<const unsigned char*>(view.buf),
                                                       static_cast<std::size_t>(view.len));
            crcs[i] = ondrel::cli::block_crc32(bytes, static_cast<std::uint32_t>(crcs[i]));
        }
    });

    Ref result(PyList_New(count));
    if (!result) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* value = PyLong_FromUnsignedLong(crcs[static_cast<std::size_t>(i)]);
        if (value == nullptr) return nullptr;
        PyList_SET_ITEM(result.get(), i, value);
    }
    return result.release();
}

// The items of a sequence as non-negative integers of type T; false with
// an exception set otherwise.
template <typename T>
bool non_negative(PyObject* sequence, const char* what, std::vector<T>& out) noexcept {
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence);
    if (!sized(out, static_cast<std::size_t>(count))) return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        const long long value = PyLong_AsLongLong(PySequence_Fast_GET_ITEM(sequence, i));
        if (value == -1 && PyErr_Occurred()) return false;
        if (value < 0 || static_cast<unsigned long long>(value) > static_cast<unsigned long long>(
                                                                      std::numeric_limits<T>::max())) {
            PyErr_Format(PyExc_ValueError, "%s must be non-negative and in range", what);
            return false;
        }
        out[static_cast<std::size_t>(i)] = static_cast<T>(value);
    }
    return true;
}

// Reads up to `length` bytes of `fd` at `offset` into `buffer`, fewer only
// where the file ends; `got` says how many. Returns 0 or an errno value.
int read_fully(int fd, char* buffer, Py_ssize_t length, off_t offset, Py_ssize_t& got) noexcept {
    while (got < length) {
        const ssize_t n = ::pread(fd, buffer + got, static_cast<std::size_t>(length - got), offset + got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) break;
        got += n;
    }
    return 0;
}

// pread_many(fds, lengths, offsets) -> list[bytes]: for every i, up to
// lengths[i] bytes of fds[i] at offsets[i], fewer only where the file ends,
// as a loop of os.pread would give them. An error raises OSError.
PyObject* pread_many(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "pread_many() takes 3 positional arguments (%zd given)", nargs);
        return nullptr;
    }
    Ref items[3];
    const char* names[3] = {"pread_many() fds", "pread_many() lengths", "pread_many() offsets"};
    for (int k = 0; k < 3; ++k) {
        items[k] = Ref(PySequence_Fast(args[k], "pread_many() arguments must be sequences"));
        if (!items[k]) return nullptr;
    }
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items[0].get());
    if (PySequence_Fast_GET_SIZE(items[1].get()) != count || PySequence_Fast_GET_SIZE(items[2].get()) != count) {
        PyErr_SetString(PyExc_ValueError, "pread_many() needs as many lengths and offsets as descriptors");
        return nullptr;
    }
    std::vector<int> fds;
    std::vector<Py_ssize_t> lengths;
    std::vector<off_t> offsets;
    std::vector<Py_ssize_t> got;
    std::vector<char*> buffers;
    if (!non_negative(items[0].get(), names[0], fds) || !non_negative(items[1].get(), names[1], lengths) ||
        !non_negative(items[2].get(), names[2], offsets))
        return nullptr;
    if (!sized(got, static_cast<std::size_t>(count)) || !sized(buffers, static_cast<std::size_t>(count)))
        return nullptr;

    Ref result(PyList_New(count));
    if (!result) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* bytes = PyBytes_FromStringAndSize(nullptr, lengths[static_cast<std::size_t>(i)]);
        if (bytes == nullptr) return nullptr;
        PyList_SET_ITEM(result.get(), i, bytes);
        buffers[static_cast<std::size_t>(i)] = PyBytes_AS_STRING(bytes);
    }

    int error = 0;
    {
        ReleasedLock unlocked;
        for (std::size_t i = 0; i < buffers.size() && error == 0; ++i)
            error = read_fully(fds[i], buffers[i], lengths[i], offsets[i], got[i]);
    }
    if (error != 0) {
        errno = error;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        const std::size_t k = static_cast<std::size_t>(i);
        if (got[k] == lengths[k]) continue;
        // The file ended early: a bytes object of what was read replaces it.
        PyObject* shorter = PyBytes_FromStringAndSize(buffers[k], got[k]);
        if (shorter == nullptr) return nullptr;
        if (PyList_SetItem(result.get(), i, shorter) < 0) return nullptr;
    }
    return result.release();
}

// Where the blocks of one shard file's read lie: `count` consecutive blocks,
// each a piece (`full` bytes, the last block's `last`), a digest of
// `digest_size` bytes and the little-endian CRC-32 of piece and digest,
// seeded with segment_seeds[b] ^ the file's seed.
struct Blocks {
    std::size_t full = 0;
    std::size_t last = 0;
    std::size_t digest_size = 0;
    std::vector<std::uint64_t> segment_seeds;

    [[nodiscard]] std::size_t count() const noexcept { return segment_seeds.size(); }
    [[nodiscard]] std::size_t stride() const noexcept { return full + digest_size + 4; }
    [[nodiscard]] std::size_t length() const noexcept {
        return count() == 0 ? 0 : (count() - 1) * stride() + last + digest_size + 4;
    }

    // From the arguments (full, last, digest_size, segment_seeds) of `name`;
    // false with an exception set when they do not describe blocks.
    [[nodiscard]] bool parse(const char* name, PyObject* const* args) noexcept {
        const Py_ssize_t sizes[3] = {PyLong_AsSsize_t(args[0]), PyLong_AsSsize_t(args[1]), PyLong_AsSsize_t(args[2])};
        if (PyErr_Occurred()) return false;
        if (sizes[0] < 0 || sizes[1] < 0 || sizes[1] > sizes[0] || sizes[2] < 0) {
            PyErr_Format(PyExc_ValueError, "%s needs 0 <= last <= full and 0 <= digest_size", name);
            return false;
        }
        full = static_cast<std::size_t>(sizes[0]);
        last = static_cast<std::size_t>(sizes[1]);
        digest_size = static_cast<std::size_t>(sizes[2]);
        Ref seeds(PySequence_Fast(args[3], "segment_seeds must be a sequence"));
        return seeds && unsigned_items(seeds.get(), "seed", 0xFFFFFFFFULL, segment_seeds);
    }

    // Whether each block of the read at `base` passes its CRC, into ok[0..count).
    void check(const unsigned char* base, std::uint64_t file_seed, char* ok) const noexcept {
        for (std::size_t b = 0; b < count(); ++b) {
            const unsigned char* block = base + b * stride();
            const std::size_t checked = (b + 1 == count() ? last : full) + digest_size;
            const auto seed = static_cast<std::uint32_t>(segment_seeds[b] ^ file_seed);
            const std::uint32_t stored =
                static_cast<std::uint32_t>(block[checked]) | static_cast<std::uint32_t>(block[checked + 1]) << 8 |
                static_cast<std::uint32_t>(block[checked + 2]) << 16 | static_cast<std::uint32_t>(block[checked + 3]) << 24;
            ok[b] = ondrel::cli::block_crc32({block, checked}, seed) == stored;
        }
    }

    // (list[bool], list[bytes] | None): the flags, file by file, and the
    // digests of the reads at `bases` (b"" for each block of a null base).
    [[nodiscard]] PyObject* results(std::span<const char* const> bases, const std::vector<char>& ok) const noexcept {
        Ref flags(bool_list(ok));
        if (!flags) return nullptr;
        if (digest_size == 0) return PyTuple_Pack(2, flags.get(), Py_None);
        Ref digests(PyList_New(static_cast<Py_ssize_t>(ok.size())));
        if (!digests) return nullptr;
        for (std::size_t f = 0; f < bases.size(); ++f) {
            for (std::size_t b = 0; b < count(); ++b) {
                const std::size_t at = b * stride() + (b + 1 == count() ? last : full);
                PyObject* digest = bases[f] == nullptr ? PyBytes_FromStringAndSize(nullptr, 0)
                                                       : PyBytes_FromStringAndSize(bases[f] + at,
                                                                                   static_cast<Py_ssize_t>(digest_size));
                if (digest == nullptr) return nullptr;
                PyList_SET_ITEM(digests.get(), static_cast<Py_ssize_t>(f * count() + b), digest);
            }
        }
        return PyTuple_Pack(2, flags.get(), digests.get());
    }
};

// check_blocks(raws, full, last, digest_size, segment_seeds, file_seeds)
//   -> (list[bool], list[bytes] | None)
// Each raws[f] holds the blocks (see Blocks) of one shard file, whose seed is
// file_seeds[f]. Returns, block by block (file by file, then segment),
// whether the CRC matches, and the digests when digest_size > 0. Every raw
// must be exactly as long as its blocks.
PyObject* check_blocks(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 6) {
        PyErr_Format(PyExc_TypeError, "check_blocks() takes 6 positional arguments (%zd given)", nargs);
        return nullptr;
    }
    Ref raws(PySequence_Fast(args[0], "check_blocks() raws must be a sequence"));
    if (!raws) return nullptr;
    Blocks blocks;
    if (!blocks.parse("check_blocks()", args + 1)) return nullptr;
    Ref file_seq(PySequence_Fast(args[5], "check_blocks() file_seeds must be a sequence"));
    if (!file_seq) return nullptr;
    std::vector<std::uint64_t> file_seeds;
    if (!unsigned_items(file_seq.get(), "seed", 0xFFFFFFFFULL, file_seeds)) return nullptr;
    const std::size_t files = file_seeds.size();
    if (static_cast<std::size_t>(PySequence_Fast_GET_SIZE(raws.get())) != files) {
        PyErr_SetString(PyExc_ValueError, "check_blocks() needs one file seed per raw");
        return nullptr;
    }
    std::vector<BufferView> views;
    std::size_t total = 0;
    if (!acquire_all(raws.get(), views, total)) return nullptr;
    std::vector<const char*> bases;
    std::vector<char> ok;
    if (!sized(ok, files * blocks.count()) || !sized(bases, files)) return nullptr;
    for (std::size_t f = 0; f < files; ++f) bases[f] = static_cast<const char*>(views[f].view().buf);
    for (const BufferView& view : views) {
        if (static_cast<std::size_t>(view.view().len) != blocks.length()) {
            PyErr_SetString(PyExc_ValueError, "check_blocks() got a raw of another length than its blocks");
            return nullptr;
        }
    }
    run_released(total, [&]() noexcept {
        for (std::size_t f = 0; f < files; ++f)
            blocks.check(reinterpret_cast<const unsigned char*>(bases[f]), file_seeds[f], ok.data() + f * blocks.count());
    });
    return blocks.results(bases, ok);
}

// read_blocks(fds, offset, full, last, digest_size, segment_seeds, file_seeds)
//   -> (list[bytes], list[bool], list[bytes] | None)
// pread_many of the blocks (see Blocks) at `offset` of every file, and
// check_blocks of each file's read while it is still in cache, all without
// the interpreter lock. A file that ends early gives what it holds, no
// passing block and no digests (b""): check it on its own.
PyObject* read_blocks(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 7) {
        PyErr_Format(PyExc_TypeError, "read_blocks() takes 7 positional arguments (%zd given)", nargs);
        return nullptr;
    }
    Ref fd_seq(PySequence_Fast(args[0], "read_blocks() fds must be a sequence"));
    if (!fd_seq) return nullptr;
    std::vector<int> fds;
    if (!non_negative(fd_seq.get(), "read_blocks() fds", fds)) return nullptr;
    const long long offset = PyLong_AsLongLong(args[1]);
    if (offset == -1 && PyErr_Occurred()) return nullptr;
    if (offset < 0) {
        PyErr_SetString(PyExc_ValueError, "read_blocks() offset must be non-negative");
        return nullptr;
    }
    Blocks blocks;
    if (!blocks.parse("read_blocks()", args + 2)) return nullptr;
    Ref file_seq(PySequence_Fast(args[6], "read_blocks() file_seeds must be a sequence"));
    if (!file_seq) return nullptr;
    std::vector<std::uint64_t> file_seeds;
    if (!unsigned_items(file_seq.get(), "seed", 0xFFFFFFFFULL, file_seeds)) return nullptr;
    const std::size_t files = fds.size();
    if (file_seeds.size() != files) {
        PyErr_SetString(PyExc_ValueError, "read_blocks() needs one file seed per descriptor");
        return nullptr;
    }
    const auto length = static_cast<Py_ssize_t>(blocks.length());
    std::vector<Py_ssize_t> got;
    std::vector<char*> buffers;
    std::vector<char> ok;
    if (!sized(got, files) || !sized(buffers, files) || !sized(ok, files * blocks.count())) return nullptr;
    Ref raws(PyList_New(static_cast<Py_ssize_t>(files)));
    if (!raws) return nullptr;
    for (std::size_t f = 0; f < files; ++f) {
        PyObject* bytes = PyBytes_FromStringAndSize(nullptr, length);
        if (bytes == nullptr) return nullptr;
        PyList_SET_ITEM(raws.get(), static_cast<Py_ssize_t>(f), bytes);
        buffers[f] = PyBytes_AS_STRING(bytes);
    }
    int error = 0;
    {
        ReleasedLock unlocked;
        for (std::size_t f = 0; f < files && error == 0; ++f) {
            error = read_fully(fds[f], buffers[f], length, static_cast<off_t>(offset), got[f]);
            if (error == 0 && got[f] == length)
                blocks.check(reinterpret_cast<const unsigned char*>(buffers[f]), file_seeds[f],
                             ok.data() + f * blocks.count());
        }
    }
    if (error != 0) {
        errno = error;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    std::vector<const char*> bases;  // of the whole reads
    if (!sized(bases, files)) return nullptr;
    for (std::size_t f = 0; f < files; ++f) {
        if (got[f] == length) {
            bases[f] = buffers[f];
            continue;
        }
        PyObject* shorter = PyBytes_FromStringAndSize(buffers[f], got[f]);
        if (shorter == nullptr) return nullptr;
        if (PyList_SetItem(raws.get(), static_cast<Py_ssize_t>(f), shorter) < 0) return nullptr;
    }
    Ref checked(blocks.results(bases, ok));
    if (!checked) return nullptr;
    return PyTuple_Pack(3, raws.get(), PyTuple_GET_ITEM(checked.get(), 0), PyTuple_GET_ITEM(checked.get(), 1));
}

// join(buffers) -> bytes: b"".join(buffers), copied without the interpreter
// lock (a segment's 342 pieces are megabytes).
PyObject* join(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "join() takes 1 positional argument (%zd given)", nargs);
        return nullptr;
    }
    Ref buffers(PySequence_Fast(args[0], "join() buffers must be a sequence"));
    if (!buffers) return nullptr;
    std::vector<BufferView> views;
    std::size_t total = 0;
    if (!acquire_all(buffers.get(), views, total)) return nullptr;
    Ref result(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
    if (!result) return nullptr;
    char* out = PyBytes_AS_STRING(result.get());
    run_released(total, [&]() noexcept {
        for (const BufferView& view : views) {
            if (view.view().len == 0) continue;
            std::memcpy(out, view.view().buf, static_cast<std::size_t>(view.view().len));
            out += view.view().len;
        }
    });
    return result.release();
}

// equal_at(haystacks, offsets, needles) -> list[bool]: for every i whether
// haystacks[i][offsets[i]:offsets[i] + len(needles[i])] == needles[i]
// (False where that runs past the end), compared without the interpreter
// lock. The three sequences have one length.
PyObject* equal_at(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "equal_at() takes 3 positional arguments (%zd given)", nargs);
        return nullptr;
    }
    Ref haystack_seq(PySequence_Fast(args[0], "equal_at() haystacks must be a sequence"));
    if (!haystack_seq) return nullptr;
    Ref offsets_seq(PySequence_Fast(args[1], "equal_at() offsets must be a sequence"));
    if (!offsets_seq) return nullptr;
    Ref needle_seq(PySequence_Fast(args[2], "equal_at() needles must be a sequence"));
    if (!needle_seq) return nullptr;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(needle_seq.get());
    if (PySequence_Fast_GET_SIZE(offsets_seq.get()) != count || PySequence_Fast_GET_SIZE(haystack_seq.get()) != count) {
        PyErr_SetString(PyExc_ValueError, "equal_at() needs as many haystacks and offsets as needles");
        return nullptr;
    }
    std::vector<BufferView> haystacks;
    std::vector<BufferView> needles;
    std::size_t total = 0;
    std::size_t searched = 0;
    if (!acquire_all(needle_seq.get(), needles, total) || !acquire_all(haystack_seq.get(), haystacks, searched))
        return nullptr;
    std::vector<std::uint64_t> offsets;
    if (!unsigned_items(offsets_seq.get(), "equal_at() offset", std::numeric_limits<Py_ssize_t>::max(), offsets))
        return nullptr;
    std::vector<char> same;
    if (!sized(same, static_cast<std::size_t>(count))) return nullptr;
    run_released(total, [&]() noexcept {
        for (std::size_t i = 0; i < same.size(); ++i) {
            const Py_buffer& haystack = haystacks[i].view();
            const Py_buffer& needle = needles[i].view();
            const auto size = static_cast<std::size_t>(haystack.len);
            const auto length = static_cast<std::size_t>(needle.len);
            const std::uint64_t offset = offsets[i];
            same[i] = offset <= size && length <= size - offset &&
                      (length == 0 ||
                       std::memcmp(static_cast<const char*>(haystack.buf) + offset, needle.buf, length) == 0);
        }
    });
    return bool_list(same);
}

// recovery_equal(segments, orig, rec, haystacks, indices, offsets) -> list[bool]
// Whether haystacks[f], at offsets[s], holds exactly shard indices[f] of
// encode_py(segments[s], orig, rec), for every haystack f and segment s (file
// by file, then segment): the comparison of a range's blocks with a re-encode,
// without making the re-encode's shards into Python objects. Each segment is
// coded into a buffer of the calling thread that is kept for its next call,
// all without the interpreter lock. Codec errors raise RuntimeError.
PyObject* recovery_equal(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 6) {
        PyErr_Format(PyExc_TypeError, "recovery_equal() takes 6 positional arguments (%zd given)", nargs);
        return nullptr;
    }
    Ref segment_seq(PySequence_Fast(args[0], "recovery_equal() segments must be a sequence"));
    if (!segment_seq) return nullptr;
    const unsigned long long orig = PyLong_AsUnsignedLongLong(args[1]);
    if (orig == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    const unsigned long long rec = PyLong_AsUnsignedLongLong(args[2]);
    if (rec == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    Ref haystack_seq(PySequence_Fast(args[3], "recovery_equal() haystacks must be a sequence"));
    if (!haystack_seq) return nullptr;
    Ref index_seq(PySequence_Fast(args[4], "recovery_equal() indices must be a sequence"));
    if (!index_seq) return nullptr;
    Ref offset_seq(PySequence_Fast(args[5], "recovery_equal() offsets must be a sequence"));
    if (!offset_seq) return nullptr;
    std::vector<BufferView> segments;
    std::vector<BufferView> haystacks;
    std::vector<std::uint64_t> indices;
    std::vector<std::uint64_t> offsets;
    std::size_t total = 0;
    std::size_t searched = 0;
    if (!acquire_all(segment_seq.get(), segments, total) || !acquire_all(haystack_seq.get(), haystacks, searched) ||
        !unsigned_items(index_seq.get(), "recovery_equal() index", 0xFFFFFFFFULL, indices) ||
        !unsigned_items(offset_seq.get(), "recovery_equal() offset", std::numeric_limits<Py_ssize_t>::max(), offsets))
        return nullptr;
    if (indices.size() != haystacks.size() || offsets.size() != segments.size()) {
        PyErr_SetString(PyExc_ValueError, "recovery_equal() needs an index per haystack and an offset per segment");
        return nullptr;
    }
    for (const std::uint64_t index : indices) {
        if (index >= orig + rec) {
            PyErr_SetString(PyExc_ValueError, "recovery_equal() got a shard index past orig + rec");
            return nullptr;
        }
    }
    const ondrel::engine::KernelChoice& choice = ondrel::engine::kernel_choice();
    if (choice.set == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, choice.problem.c_str());
        return nullptr;
    }
    const std::size_t files = haystacks.size();
    std::vector<char> same;
    if (!sized(same, files * segments.size())) return nullptr;
    const char* failed = nullptr;
    {
        ReleasedLock unlocked;
        try {
            thread_local std::vector<std::uint8_t> scratch;
            std::vector<std::uint8_t*> rows(orig + rec);
            for (std::size_t s = 0; s < segments.size() && failed == nullptr; ++s) {
                const std::span<const std::uint8_t> data(static_cast<const std::uint8_t*>(segments[s].view().buf),
                                                         static_cast<std::size_t>(segments[s].view().len));
                const auto shard_len = ondrel::jam::plan_encode(data.size(), orig, rec);
                if (!shard_len) {
                    failed = "recovery_equal(): these counts or this segment cannot be encoded";
                    break;
                }
                if (scratch.size() < *shard_len * rows.size()) scratch.resize(*shard_len * rows.size());
                for (std::size_t k = 0; k < rows.size(); ++k) rows[k] = scratch.data() + k * *shard_len;
                if (!ondrel::jam::encode_into(data, orig, rec, rows)) {
                    failed = "recovery_equal(): these counts or this segment cannot be encoded";
                    break;
                }
                for (std::size_t f = 0; f < files; ++f) {
                    const Py_buffer& haystack = haystacks[f].view();
                    const auto size = static_cast<std::size_t>(haystack.len);
                    same[f * segments.size() + s] =
                        offsets[s] <= size && *shard_len <= size - offsets[s] &&
                        std::memcmp(static_cast<const char*>(haystack.buf) + offsets[s], rows[indices[f]],
                                    *shard_len) == 0;
                }
            }
        } catch (const std::bad_alloc&) {
            failed = "";
        } catch (...) {
            failed = "recovery_equal(): internal failure of the codec";
        }
    }
    if (failed != nullptr) {
        if (*failed == '\0') return PyErr_NoMemory();
        PyErr_SetString(PyExc_RuntimeError, failed);
        return nullptr;
    }
    return bool_list(same);
}

PyMethodDef methods[] = {
    {"crc32_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(crc32_many)), METH_FASTCALL,
     "crc32_many(buffers, seeds, /) -> list[int]\n--\n\n"
     "zlib.crc32(buffers[i], seeds[i]) for every i, with the interpreter lock released once."},
    {"pread_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pread_many)), METH_FASTCALL,
     "pread_many(fds, lengths, offsets, /) -> list[bytes]\n--\n\n"
     "Up to lengths[i] bytes of fds[i] at offsets[i] for every i (fewer only where the file ends), with the "
     "interpreter lock released once."},
    {"check_blocks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(check_blocks)), METH_FASTCALL,
     "check_blocks(raws, full, last, digest_size, segment_seeds, file_seeds, /) -> (list[bool], list[bytes] | None)"
     "\n--\n\nChecks the CRC of every block of consecutive blocks read from shard files, and takes out their "
     "digests, with the interpreter lock released."},
    {"read_blocks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_blocks)), METH_FASTCALL,
     "read_blocks(fds, offset, full, last, digest_size, segment_seeds, file_seeds, /) -> (list[bytes], list[bool], "
     "list[bytes] | None)\n--\n\nReads the same blocks of many shard files and checks each file's blocks while "
     "they are in cache, with the interpreter lock released."},
    {"recovery_equal", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(recovery_equal)), METH_FASTCALL,
     "recovery_equal(segments, orig, rec, haystacks, indices, offsets, /) -> list[bool]\n--\n\n"
     "Whether every haystack holds its shard of every segment's encoding at the segment's offset, coded and "
     "compared with the interpreter lock released."},
    {"join", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(join)), METH_FASTCALL,
     "join(buffers, /) -> bytes\n--\n\nb\"\".join(buffers), copied with the interpreter lock released."},
    {"equal_at", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(equal_at)), METH_FASTCALL,
     "equal_at(haystacks, offsets, needles, /) -> list[bool]\n--\n\n"
     "Whether haystacks[i][offsets[i]:offsets[i] + len(needles[i])] == needles[i] for every i, compared with the "
     "interpreter lock released."},
    {nullptr, nullptr, 0, nullptr},
};

// CRC32_KIND: which CRC-32 code crc32_many runs ("pclmul" or "zlib").
int add_constants(PyObject* module) noexcept {
    return PyModule_AddStringConstant(module, "CRC32_KIND", ondrel::cli::block_crc32_kind());
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(add_constants)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT,
    "ondrel_cli._blocks",
    "The command's work on many small blocks in one call.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__blocks() { return PyModuleDef_Init(&module); }
