#include "python/table.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/arrow_export.hpp"
#include "core/error.hpp"
#include "core/input_file.hpp"
#include "core/kinds_scan.hpp"
#include "core/mapped_reader.hpp"
#include "core/parallel_table.hpp"
#include "core/split.hpp"
#include "core/table_builder.hpp"
#include "core/value_kinds.hpp"
#include "python/arguments.hpp"
#include "python/block.hpp"
#include "python/block_iterator.hpp"
#include "python/decode.hpp"
#include "python/errors.hpp"
#include "python/guard.hpp"
#include "python/list.hpp"
#include "python/method_def.hpp"
#include "python/module_state.hpp"
#include "python/object.hpp"
#include "python/read.hpp"
#include "python/without_gil.hpp"

namespace molvane::py {

namespace {

constexpr const char* kSchemaCapsule = "arrow_schema";
constexpr const char* kStreamCapsule = "arrow_array_stream";

// Blocks go to the builder this many at a time, each batch without the lock.
constexpr size_t kBlocksPerBatch = 256;

struct TableObject {
    std::shared_ptr<const core::Table> table;
};

// --- capsules -------------------------------------------------------------------

void free_schema_capsule(PyObject* capsule) {
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, kSchemaCapsule));
    if (!schema) {
        PyErr_Clear();
        return;
    }
    if (schema->release) schema->release(schema);
    delete schema;
}

void free_stream_capsule(PyObject* capsule) {
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsule));
    if (!stream) {
        PyErr_Clear();
        return;
    }
    if (stream->release) stream->release(stream);
    delete stream;
}

template <class Struct>
Ref new_capsule(std::unique_ptr<Struct> filled, const char* name, PyCapsule_Destructor destructor) {
    Ref capsule = Ref::steal(PyCapsule_New(filled.get(), name, destructor));
    if (!capsule) {
        filled->release(filled.get());
        throw PythonError{};
    }
    filled.release();
    return capsule;
}

PyObject* table_schema(PyObject* self, PyObject*) {
    return boundary(self, [&] {
        auto schema = std::make_unique<ArrowSchema>();
        core::export_schema(*state_of<TableObject>(self).table, schema.get());
        return new_capsule(std::move(schema), kSchemaCapsule, free_schema_capsule).release();
    });
}

PyObject* table_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary(self, [&] {
        static const char* const keywords[] = {"requested_schema", nullptr};
        PyObject* requested = Py_None;
        parse_arguments(args, kwargs, "|O:__arrow_c_stream__", keywords, &requested);
        // The columns have one layout; a consumer that wants another casts.
        auto stream = std::make_unique<ArrowArrayStream>();
        core::export_stream(state_of<TableObject>(self).table, stream.get());
        return new_capsule(std::move(stream), kStreamCapsule, free_stream_capsule).release();
    });
}

PyObject* table_num_rows(PyObject* self, void*) {
    return boundary(self, [&] {
        return Ref::check(PyLong_FromLongLong(state_of<TableObject>(self).table->rows)).release();
    });
}

PyObject* table_end(PyObject* self, void*) {
    return boundary(self, [&] {
        return Ref::check(PyLong_FromUnsignedLongLong(state_of<TableObject>(self).table->end))
            .release();
    });
}

PyObject* table_skipped(PyObject* self, void*) {
    return boundary(self, [&] {
        return Ref::check(PyLong_FromUnsignedLongLong(state_of<TableObject>(self).table->skipped))
            .release();
    });
}

// A record name of a table as Python has it: str for text tables (checked
// UTF-8 when built), bytes for binary ones.
Ref name_object(std::string_view name, bool is_bytes) {
    if (is_bytes)
        return Ref::check(
            PyBytes_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    return Ref::check(
        PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict"));
}

Ref word_object(std::string_view word) {
    return Ref::check(
        PyUnicode_FromStringAndSize(word.data(), static_cast<Py_ssize_t>(word.size())));
}

// (name, kinds word, inferred type word): what a scan tells of a column.
Ref kinds_entry(Ref name, const core::ValueKinds& kinds) {
    Ref kind = word_object(kinds.word());
    Ref type = word_object(core::type_word(kinds.type()));
    return Ref::check(PyTuple_Pack(3, name.get(), kind.get(), type.get()));
}

PyObject* table_kinds(PyObject* self, void*) {
    return boundary(self, [&] {
        const core::Table& table = *state_of<TableObject>(self).table;
        return new_list(table.kinds.size(),
                        [&](size_t at) {
                            return kinds_entry(name_object(table.kinds[at].first, table.is_bytes),
                                               table.kinds[at].second);
                        })
            .release();
    });
}

PyObject* table_scanned(PyObject* self, void*) {
    return boundary(self, [&] {
        return Ref::check(PyLong_FromUnsignedLongLong(state_of<TableObject>(self).table->scanned))
            .release();
    });
}

// --- arguments -------------------------------------------------------------------

// A column name: str as UTF-8, or bytes as they are.
std::string name_bytes(PyObject* name, const char* what) {
    if (PyUnicode_Check(name)) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
        if (!utf8) throw PythonError{};
        return std::string(utf8, static_cast<size_t>(size));
    }
    if (PyBytes_Check(name)) {
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(name, &data, &size) < 0) throw PythonError{};
        return std::string(data, static_cast<size_t>(size));
    }
    std::string format = std::string(what) + " must be str, bytes or None, not %U";
    raise_wrong_type(format.c_str(), name);
}

std::optional<std::string> optional_name(PyObject* name, const char* what) {
    if (name == Py_None) return std::nullopt;
    return name_bytes(name, what);
}

bool text_equals(PyObject* object, const char* expected) {
    if (!PyUnicode_Check(object)) return false;
    Ref wanted = Ref::check(PyUnicode_FromString(expected));
    int equal = PyObject_RichCompareBool(object, wanted.get(), Py_EQ);
    if (equal < 0) throw PythonError{};
    return equal == 1;
}

core::TableOptions parse_options(PyObject* columns, PyObject* title, PyObject* molblock,
                                 PyObject* block, PyObject* types, PyObject* errors) {
    core::TableOptions options;
    options.title = optional_name(title, "title");
    options.molblock = optional_name(molblock, "molblock");
    options.block = optional_name(block, "block");
    if (options.title && options.molblock && *options.title == *options.molblock)
        raise(PyExc_ValueError, "title and molblock name the same column");
    if (options.title && options.block && *options.title == *options.block)
        raise(PyExc_ValueError, "title and block name the same column");
    if (options.molblock && options.block && *options.molblock == *options.block)
        raise(PyExc_ValueError, "molblock and block name the same column");
    if (columns != Py_None) {
        if (PyUnicode_Check(columns) || PyBytes_Check(columns))
            raise(PyExc_TypeError, "columns must be a sequence of names, not a single name");
        Ref iterator = Ref::check(PyObject_GetIter(columns));
        std::vector<std::string> names;
        // Equal names as Python compares them: "A" and b"A" are two.
        Ref seen = Ref::check(PySet_New(nullptr));
        while (Ref name = Ref::steal(PyIter_Next(iterator.get()))) {
            names.push_back(name_bytes(name.get(), "a column name"));
            const int found = PySet_Contains(seen.get(), name.get());
            if (found < 0 || (found == 0 && PySet_Add(seen.get(), name.get()) < 0))
                throw PythonError{};
            if (found == 1) {
                PyErr_Format(PyExc_ValueError, "columns names %R twice", name.get());
                throw PythonError{};
            }
        }
        throw_if_error();
        options.columns = std::move(names);
    }
    if (PyDict_Check(types)) {
        // Named columns take the type given; the others are inferred.
        Py_ssize_t position = 0;
        PyObject* name = nullptr;
        PyObject* type = nullptr;
        while (PyDict_Next(types, &position, &name, &type)) {
            core::ColumnType column_type = core::ColumnType::String;
            if (text_equals(type, "int"))
                column_type = core::ColumnType::Int64;
            else if (text_equals(type, "float"))
                column_type = core::ColumnType::Float64;
            else if (!text_equals(type, "str"))
                raise(PyExc_ValueError, "the types of a types mapping are 'int', 'float' or 'str'");
            options.forced.emplace_back(name_bytes(name, "a column name"), column_type);
        }
    } else if (text_equals(types, "auto")) {
        options.infer_types = true;
    } else if (text_equals(types, "str")) {
        options.infer_types = false;
    } else {
        raise(PyExc_ValueError, "types must be 'auto', 'str' or a mapping of names to types");
    }
    if (text_equals(errors, "raise"))
        options.skip_malformed = false;
    else if (text_equals(errors, "skip"))
        options.skip_malformed = true;
    else
        raise(PyExc_ValueError, "errors must be 'raise' or 'skip'");
    options.strict_conversion = !options.skip_malformed;
    return options;
}

// --- building --------------------------------------------------------------------

std::string access_of(const core::FailedField& field) {
    using Part = core::FailedField::Part;
    switch (field.part) {
        case Part::Title: return "Reading the title of";
        case Part::Molblock: return "Reading the molblock of";
        case Part::Block: return "Reading the text of";
        case Part::RecordName:
        case Part::RecordValue: break;
    }
    Ref name = decode_replacing(field.record_name);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (!utf8) throw PythonError{};
    return "Reading record '" + std::string(utf8, static_cast<size_t>(size)) + "' of";
}

// A batch of blocks held for reading while the lock is released.
struct HeldBlocks {
    std::vector<Ref> objects;
    std::vector<std::unique_ptr<SharedUse>> uses;

    void clear() noexcept {
        uses.clear();
        objects.clear();
    }
};

// The error of a block of the file's reader, raised with the block named.
[[noreturn]] void raise_for_block(PyObject* module, const core::FailedField& field,
                                  const core::Block& block) {
    try {
        throw;
    } catch (const core::DecodeError& error) {
        raise_block_decode_error(block, error.bytes(), error.start(), error.end(),
                                 access_of(field));
    } catch (...) {
        name_block_in_error(module, block);
        throw;
    }
}

void add_batch(PyObject* module, core::TableBuilder& builder, HeldBlocks& held) {
    const size_t count = held.objects.size();
    size_t at = 0;
    try {
        without_gil([&] {
            for (; at < count; ++at)
                builder.add(as_block(held.objects[at].get()).block);
        });
    } catch (...) {
        raise_for_block(module, builder.failed_field(), as_block(held.objects[at].get()).block);
    }
    held.clear();
}

Ref new_table(const ModuleState& state, core::TableBuilder& builder) {
    auto table = std::make_shared<core::Table>(without_gil([&] { return builder.finish(); }));
    return new_object<TableObject>(state.table_type.get(),
                                   std::shared_ptr<const core::Table>(std::move(table)));
}

// A non-negative int argument, `fallback` for None.
uint64_t offset_argument(PyObject* value, const char* what, uint64_t fallback) {
    if (value == Py_None) return fallback;
    if (!PyLong_Check(value) || PyBool_Check(value)) {
        std::string format = std::string(what) + " must be an int or None, not %U";
        raise_wrong_type(format.c_str(), value);
    }
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (number == -1 && PyErr_Occurred()) throw PythonError{};
    if (overflow > 0) return UINT64_MAX;
    if (overflow < 0 || number < 0) {
        std::string message = std::string(what) + " must not be negative";
        raise(PyExc_ValueError, message.c_str());
    }
    return static_cast<uint64_t>(number);
}

// A count argument that must be at least 1 (threads, limit, max_bytes),
// `fallback` for None.
uint64_t count_argument(PyObject* value, const char* what, uint64_t fallback) {
    const uint64_t count = offset_argument(value, what, fallback);
    if (count == 0) {
        std::string message = std::string(what) + " must be at least 1";
        raise(PyExc_ValueError, message.c_str());
    }
    return count;
}

// A scan of kinds only of [begin, end) on this thread, walked in the
// mapping; signals are checked between batches.
Ref scan_on_this_thread(PyObject* module, PyObject* path, const core::TableOptions& options,
                        std::shared_ptr<const core::Mapping> mapping, uint64_t begin,
                        uint64_t end) {
    const ModuleState& state = module_state(module);
    core::TableBuilder builder(options);
    core::KindsScan scan(std::move(mapping), !options.is_bytes);
    bool intact = scan.restrict_to(begin, end);
    while (intact && !scan.exhausted()) {
        try {
            without_gil([&] { intact = scan.scan_batch(builder); });
        } catch (...) {
            std::optional<core::Block> block = without_gil([&] { return scan.failed_block(0); });
            if (!block) raise_file_shrank(path);
            raise_for_block(module, builder.failed_field(), *block);
        }
        check_signals();
    }
    if (!intact) raise_file_shrank(path);
    auto table = std::make_shared<core::Table>(without_gil([&] { return builder.finish(); }));
    table->end = scan.position();
    return new_object<TableObject>(state.table_type.get(),
                                   std::shared_ptr<const core::Table>(std::move(table)));
}

// The blocks of [begin, end) on this thread, at most `limit` of them, as the
// builder's table; signals are checked between batches.
Ref build_on_this_thread(PyObject* module, PyObject* path, core::TableOptions options,
                         std::shared_ptr<const core::Mapping> mapping, uint64_t begin, uint64_t end,
                         uint64_t limit, uint64_t byte_limit, uint64_t first_number) {
    if (options.kinds_only && limit == UINT64_MAX && byte_limit == UINT64_MAX)
        return scan_on_this_thread(module, path, options, std::move(mapping), begin, end);
    const ModuleState& state = module_state(module);
    core::TableBuilder builder(options);
    core::MappedReader reader(std::move(mapping), !options.is_bytes, false);
    core::Block block;
    uint64_t taken = 0;
    uint64_t taken_bytes = 0;
    bool intact = reader.restrict_to(begin, end);
    bool reserved = false;
    const uint64_t span = std::min<uint64_t>(end, reader.size()) - begin;
    while (intact && taken < limit && taken_bytes < byte_limit && !reader.exhausted()) {
        try {
            without_gil([&] {
                if (!reader.has_block() && !(intact = reader.read_batch())) return;
                while (taken < limit && taken_bytes < byte_limit && reader.has_block()) {
                    block = reader.take();
                    taken_bytes += block.view().size();
                    block.origin.number = first_number + taken++;
                    block.locate_mdl_end();
                    builder.add(block);
                }
                if (!reserved && reader.position() > begin) {
                    // The first batch tells how many rows the range will hold.
                    reserved = true;
                    const uint64_t rows = span * taken / (reader.position() - begin);
                    builder.reserve_rows(static_cast<int64_t>(std::min(rows, limit)));
                }
            });
        } catch (...) {
            raise_for_block(module, builder.failed_field(), block);
        }
        check_signals();
    }
    if (!intact) raise_file_shrank(path);
    auto table = std::make_shared<core::Table>(without_gil([&] { return builder.finish(); }));
    table->end = reader.position();
    return new_object<TableObject>(state.table_type.get(),
                                   std::shared_ptr<const core::Table>(std::move(table)));
}

// The blocks of [begin, end) built in ranges by `threads` threads; the
// calling thread waits without the lock and looks at signals in between.
Ref build_in_parallel(PyObject* module, PyObject* path, core::TableOptions options,
                      std::shared_ptr<const core::Mapping> mapping, uint64_t begin, uint64_t end,
                      unsigned threads, uint64_t min_range) {
    const ModuleState& state = module_state(module);
    core::ParallelTableBuild build(std::move(mapping), std::move(options), begin, end, threads,
                                   min_range);
    if (!without_gil([&] { return build.start(); })) raise_file_shrank(path);
    while (!without_gil([&] { return build.wait_for(std::chrono::milliseconds(50)); })) {
        try {
            check_signals();
        } catch (...) {
            build.cancel();
            throw;
        }
    }
    std::optional<core::Table> table = without_gil([&] { return build.finish(); });
    if (!table) {
        const core::TableFailure& failure = build.failure();
        if (failure.shrank) raise_file_shrank(path);
        try {
            std::rethrow_exception(failure.error);
        } catch (...) {
            raise_for_block(module, failure.field, failure.block);
        }
    }
    auto shared = std::make_shared<core::Table>(std::move(*table));
    return new_object<TableObject>(state.table_type.get(),
                                   std::shared_ptr<const core::Table>(std::move(shared)));
}

// The table builder fed by a block iterator's reader: the blocks go to it as
// core makes them, without an SDBlock each, whatever the source.
struct TableSink final : Reader::BlockSink {
    // `limit` and `byte_limit` end the pull; `remaining` is the bytes the
    // source holds past where it starts (UINT64_MAX: not known).
    TableSink(core::TableOptions table_options, uint64_t limit, uint64_t byte_limit,
              uint64_t remaining)
        : options(std::move(table_options)),
          limit_(limit),
          byte_limit_(byte_limit),
          remaining_(remaining) {}

    void take(core::Block& block) override {
        if (!builder) {
            options.is_bytes = block.is_bytes;
            builder.emplace(options);
        }
        block.locate_mdl_end();
        failed = true;
        builder->add(block);
        failed = false;
        if (reserved_) return;
        taken_bytes_ += block.view().size();
        if (taken_bytes_ >= core::kReadUnit) reserve();
    }

    core::TableOptions options;
    std::optional<core::TableBuilder> builder;
    bool failed = false;  // the builder refused the block being taken

  private:
    // Once the first blocks tell their size: room for the rows the pull
    // will take, so that the columns are not copied as they grow (a batch
    // of iter_batches is as fast as the same rows of one table).
    void reserve() {
        reserved_ = true;
        const auto rows = static_cast<uint64_t>(builder->rows());
        const double per_byte = static_cast<double>(rows) / static_cast<double>(taken_bytes_);
        const uint64_t bytes = std::min(byte_limit_, remaining_);
        double expected = static_cast<double>(limit_);
        if (bytes != UINT64_MAX)
            expected = std::min(expected, static_cast<double>(bytes) * per_byte + 1);
        if (expected < 1e12) builder->reserve_rows(static_cast<int64_t>(expected));
    }

    uint64_t limit_;
    uint64_t byte_limit_;
    uint64_t remaining_;
    uint64_t taken_bytes_ = 0;
    bool reserved_ = false;
};

Ref build_from_reader(PyObject* module, PyObject* iterator, core::TableOptions options,
                      unsigned threads, uint64_t limit, uint64_t byte_limit, uint64_t min_range) {
    const ModuleState& state = module_state(module);
    BlockIteratorObject& object = state_of<BlockIteratorObject>(iterator);
    ExclusiveUse use(object.guard);
    Reader& reader = object.reader;
    reader.open();
    std::shared_ptr<const core::Mapping> mapping;
    uint64_t begin = 0;
    uint64_t end = 0;
    if (limit == UINT64_MAX && byte_limit == UINT64_MAX &&
        reader.fresh_mapping(mapping, begin, end)) {
        // A mapped file is split here, in ranges on threads when it is large.
        options.is_bytes = reader.kind() == core::TextKind::Bytes;
        PyObject* path = reader.path_object();
        Ref table = threads > 1 && end - begin >= 2 * min_range
                        ? build_in_parallel(module, path, std::move(options), std::move(mapping),
                                            begin, end, threads, min_range)
                        : build_on_this_thread(module, path, std::move(options), std::move(mapping),
                                               begin, end, UINT64_MAX, UINT64_MAX, 0);
        reader.finish_mapped(end);
        return table;
    }
    TableSink sink(std::move(options), limit, byte_limit, reader.mapped_remaining());
    core::Block current;
    try {
        reader.pull(sink, current, limit, byte_limit);
    } catch (...) {
        if (sink.failed) raise_for_block(module, sink.builder->failed_field(), current);
        throw;
    }
    if (!sink.builder) {
        // No block: the columns of the source's kind where it has one (a bytes
        // path, a binary file), else string columns, as for an empty iterable.
        sink.options.is_bytes = reader.kind() == core::TextKind::Bytes;
        sink.builder.emplace(sink.options);
    }
    return new_table(state, *sink.builder);
}

// The kinds of a scan's columns, joined over the scans of consecutive
// pieces of an input: (name, kinds word, type word) in first-seen order.
PyObject* join_kinds(PyObject* module, PyObject* scans) {
    return boundary(module, [&] {
        Ref index = Ref::check(PyDict_New());  // name -> position
        std::vector<Ref> names;
        std::vector<core::ValueKinds> joined;
        Ref outer = Ref::check(PyObject_GetIter(scans));
        while (Ref scan = Ref::steal(PyIter_Next(outer.get()))) {
            Ref inner = Ref::check(PyObject_GetIter(scan.get()));
            while (Ref entry = Ref::steal(PyIter_Next(inner.get()))) {
                if (!PyTuple_Check(entry.get()) || PyTuple_Size(entry.get()) < 2)
                    raise(PyExc_TypeError, "a scan entry is a (name, kinds, ...) tuple");
                PyObject* name = PyTuple_GetItem(entry.get(), 0);
                PyObject* word = PyTuple_GetItem(entry.get(), 1);
                Py_ssize_t size = 0;
                const char* text =
                    PyUnicode_Check(word) ? PyUnicode_AsUTF8AndSize(word, &size) : nullptr;
                if (!text) {
                    PyErr_Clear();
                    raise(PyExc_ValueError, "a scan entry's kinds are a word of _SDTable.kinds");
                }
                std::optional<core::ValueKinds> kinds =
                    core::ValueKinds::from_word(std::string_view(text, static_cast<size_t>(size)));
                if (!kinds)
                    raise(PyExc_ValueError, "a scan entry's kinds are a word of _SDTable.kinds");
                PyObject* found = PyDict_GetItemWithError(index.get(), name);
                if (found) {
                    joined[static_cast<size_t>(PyLong_AsSsize_t(found))].join(*kinds);
                    continue;
                }
                throw_if_error();
                Ref position = Ref::check(PyLong_FromSize_t(joined.size()));
                if (PyDict_SetItem(index.get(), name, position.get()) < 0) throw PythonError{};
                names.push_back(Ref::borrow(name));
                joined.push_back(*kinds);
            }
            throw_if_error();
        }
        throw_if_error();
        return new_list(joined.size(),
                        [&](size_t at) { return kinds_entry(names[at], joined[at]); })
            .release();
    });
}

PyObject* build_table(PyObject* module, PyObject* args, PyObject* kwargs) {
    return boundary(module, [&] {
        static const char* const keywords[] = {
            "blocks",  "columns", "title",     "molblock",   "block", "types", "errors",
            "threads", "limit",   "max_bytes", "_min_range", "scan",  nullptr};
        PyObject* blocks = nullptr;
        PyObject* columns = Py_None;
        PyObject* title = Py_None;
        PyObject* molblock = Py_None;
        PyObject* block = Py_None;
        PyObject* types = nullptr;
        PyObject* errors = nullptr;
        PyObject* threads = Py_None;
        PyObject* limit = Py_None;
        PyObject* max_bytes = Py_None;
        PyObject* min_range = Py_None;
        int scan = 0;
        parse_arguments(args, kwargs, "O|$OOOOOOOOOOp:_build_table", keywords, &blocks, &columns,
                        &title, &molblock, &block, &types, &errors, &threads, &limit, &max_bytes,
                        &min_range, &scan);
        Ref auto_types = Ref::check(PyUnicode_FromString("auto"));
        Ref raise_errors = Ref::check(PyUnicode_FromString("raise"));
        core::TableOptions options =
            parse_options(columns, title, molblock, block, types ? types : auto_types.get(),
                          errors ? errors : raise_errors.get());
        if (scan) {
            // Kinds only: the blocks a build would refuse are its to refuse.
            options.kinds_only = true;
            options.skip_malformed = true;
            options.strict_conversion = false;
        }
        const unsigned hardware = std::max(std::thread::hardware_concurrency(), 1u);
        const uint64_t thread_count = count_argument(threads, "threads", hardware);
        const uint64_t most = count_argument(limit, "limit", UINT64_MAX);
        const uint64_t most_bytes = count_argument(max_bytes, "max_bytes", UINT64_MAX);
        const uint64_t smallest = offset_argument(min_range, "_min_range", 4u << 20);
        ModuleState& state = module_state(module);
        if (reinterpret_cast<PyObject*>(Py_TYPE(blocks)) == state.block_iterator_type.get()) {
            // Built before the source opens, so that a collision raises first.
            core::TableBuilder{options};
            const unsigned workers = static_cast<unsigned>(std::min<uint64_t>(thread_count, 256));
            return build_from_reader(module, blocks, std::move(options), workers, most, most_bytes,
                                     smallest)
                .release();
        }
        Ref iterator = Ref::check(PyObject_GetIter(blocks));

        std::optional<core::TableBuilder> builder;
        bool is_bytes = false;
        HeldBlocks held;
        held.objects.reserve(kBlocksPerBatch);
        held.uses.reserve(kBlocksPerBatch);
        uint64_t taken = 0;
        uint64_t taken_bytes = 0;
        // With a limit, no block past it is pulled from the iterator: the
        // caller goes on from there.
        while (taken < most && taken_bytes < most_bytes) {
            Ref item = Ref::steal(PyIter_Next(iterator.get()));
            if (!item) break;
            ++taken;
            if (!is_block(state, item.get()))
                raise_wrong_type("expected SDBlock objects, got %U", item.get());
            BlockObject& object = as_block(item.get());
            if (!builder) {
                is_bytes = object.block.is_bytes;
                options.is_bytes = is_bytes;
                builder.emplace(options);
            } else if (object.block.is_bytes != is_bytes) {
                raise(PyExc_TypeError, "cannot build one table from str and bytes blocks");
            }
            held.uses.push_back(std::make_unique<SharedUse>(object.guard));
            object.block.locate_mdl_end();
            taken_bytes += object.block.view().size();
            held.objects.push_back(std::move(item));
            if (held.objects.size() == kBlocksPerBatch) {
                add_batch(module, *builder, held);
                check_signals();
            }
        }
        throw_if_error();
        if (!builder) {
            options.is_bytes = false;
            builder.emplace(options);
        }
        if (!held.objects.empty()) add_batch(module, *builder, held);
        return new_table(state, *builder).release();
    });
}

// A mapped file's blocks go to the builder straight from the reader, a
// batch at a time without the lock: no SDBlock is made. A file that cannot
// be mapped (a pipe, a network file system) gives None, for the caller to
// read it through parse_sdf.
PyObject* build_table_from_path(PyObject* module, PyObject* args, PyObject* kwargs) {
    return boundary(module, [&] {
        static const char* const keywords[] = {"path",       "columns",   "title",  "molblock",
                                               "block",      "types",     "errors", "start",
                                               "stop",       "threads",   "limit",  "first_number",
                                               "_min_range", "max_bytes", nullptr};
        PyObject* path = nullptr;
        PyObject* columns = Py_None;
        PyObject* title = Py_None;
        PyObject* molblock = Py_None;
        PyObject* block = Py_None;
        PyObject* types = nullptr;
        PyObject* errors = nullptr;
        PyObject* start = Py_None;
        PyObject* stop = Py_None;
        PyObject* threads = Py_None;
        PyObject* limit = Py_None;
        PyObject* number = Py_None;
        PyObject* min_range = Py_None;
        PyObject* max_bytes = Py_None;
        parse_arguments(args, kwargs, "O|$OOOOOOOOOOOOO:_build_table_from_path", keywords, &path,
                        &columns, &title, &molblock, &block, &types, &errors, &start, &stop,
                        &threads, &limit, &number, &min_range, &max_bytes);
        // `path` is what os.fspath() gave: str paths read as text, bytes as bytes.
        Ref encoded;
        if (PyUnicode_Check(path))
            encoded = Ref::check(PyUnicode_EncodeFSDefault(path));
        else if (PyBytes_Check(path))
            encoded = Ref::borrow(path);
        else
            raise_wrong_type("path must be str or bytes, not %U", path);
        Ref auto_types = Ref::check(PyUnicode_FromString("auto"));
        Ref raise_errors = Ref::check(PyUnicode_FromString("raise"));
        core::TableOptions options =
            parse_options(columns, title, molblock, block, types ? types : auto_types.get(),
                          errors ? errors : raise_errors.get());
        options.is_bytes = PyBytes_Check(path);
        const uint64_t first = offset_argument(start, "start", 0);
        const uint64_t last = offset_argument(stop, "stop", UINT64_MAX);
        const unsigned hardware = std::max(std::thread::hardware_concurrency(), 1u);
        const uint64_t thread_count = count_argument(threads, "threads", hardware);
        const uint64_t most = count_argument(limit, "limit", UINT64_MAX);
        const uint64_t most_bytes = count_argument(max_bytes, "max_bytes", UINT64_MAX);
        const uint64_t first_number = offset_argument(number, "first_number", 0);
        const uint64_t smallest = offset_argument(min_range, "_min_range", 4u << 20);
        // Built before the file opens, so that a collision raises first.
        core::TableBuilder{options};

        const std::string path_bytes = name_bytes(encoded.get(), "path");
        core::InputFile file;
        core::IoOutcome outcome;
        for (;;) {
            outcome = without_gil([&]() noexcept { return file.open(path_bytes); });
            if (outcome.status != core::IoOutcome::Status::Interrupted) break;
            check_signals();
        }
        raise_if_failed(outcome, path);
        std::shared_ptr<const core::Mapping> mapping = file.take_mapping();
        file.close();
        if (!mapping) return Ref::borrow(Py_None).release();

        // Blocks whose first byte lies in [first, last): the readers of the
        // range find its first block boundary at or after `first` themselves.
        const uint64_t size = mapping->size();
        const uint64_t end = std::min(last, size);
        const uint64_t begin = std::min(first, end);
        const unsigned workers = static_cast<unsigned>(std::min<uint64_t>(thread_count, 256));
        if (workers > 1 && most == UINT64_MAX && most_bytes == UINT64_MAX && first_number == 0 &&
            end - begin >= 2 * smallest)
            return build_in_parallel(module, path, std::move(options), std::move(mapping), begin,
                                     end, workers, smallest)
                .release();
        return build_on_this_thread(module, path, std::move(options), std::move(mapping), begin,
                                    end, most, most_bytes, first_number)
            .release();
    });
}

// --- the type ---------------------------------------------------------------------

constexpr const char* kBuildTableDoc =
    "_build_table($module, blocks, /, *, columns=None, title=None, molblock=None, block=None, "
    "types='auto', errors='raise', threads=None, limit=None, max_bytes=None, "
    "_min_range=None, scan=False)\n--\n\n"
    "Builds the columns of the SDBlocks that `blocks` yields, one row per block.\n\n"
    "An iterator of parse_sdf (or from_sdf, from_lines) is read by its own reader, its\n"
    "blocks going to the builder without an SDBlock each; a mapped file not yet read\n"
    "from is built in byte ranges by `threads` threads (None: every core), each range\n"
    "at least `_min_range` bytes. `limit` and `max_bytes` stop after that many blocks, or\n"
    "once the blocks taken hold that many bytes of text (at least one block), leaving\n"
    "the rest to the next call.\n\n"
    "Columns: `title` (a name, or None for none), the records (every name in the order\n"
    "first seen, or the names of `columns` in their order), `molblock` (a name or None),\n"
    "`block` (a name for a column of each block's whole text, or None).\n"
    "A block without a record has null there; of a name repeated in a block the last\n"
    "value wins. `types='auto'` makes a record column int64 when every non-empty\n"
    "value matches [+-]?[0-9]+ and fits int64, else float64 when every non-empty value\n"
    "matches [+-]?([0-9]+(.[0-9]*)?|.[0-9]+)([eE][+-]?[0-9]+)? or nan, inf, infinity (any\n"
    "case) within double's range, spaces and tabs around a value ignored; empty values\n"
    "of such a column are null; other columns, and every one with types='str', hold\n"
    "the values as written: UTF-8 strings for str blocks, binary for bytes blocks.\n"
    "A dict {name: 'int' | 'float' | 'str'} gives the named record columns that type;\n"
    "a value that does not convert raises ValueError, or is null with errors='skip'.\n"
    "`errors='skip'` leaves the records of a block with a malformed data header null.\n\n"
    "`scan=True` reads only the record names and the kinds of their values (see\n"
    "_SDTable.kinds): the table has the columns and types a build would give and no\n"
    "rows; blocks with a malformed data header are passed over.";

constexpr const char* kJoinKindsDoc =
    "_join_kinds($module, scans, /)\n--\n\n"
    "The kinds of the columns of `scans` (lists of _SDTable.kinds, of consecutive pieces\n"
    "of one input) joined by the one typing rule: (name, kinds, type) in first-seen order.";

constexpr const char* kBuildTableFromPathDoc =
    "_build_table_from_path($module, path, /, *, columns=None, title=None, molblock=None, "
    "block=None, types='auto', errors='raise', start=None, stop=None, threads=None, limit=None, "
    "first_number=None, _min_range=None, max_bytes=None)\n--\n\n"
    "As _build_table for the blocks of the file at `path` (what os.fspath() gives: str\n"
    "reads text, bytes reads bytes), taken from its mapping without making SDBlocks.\n"
    "Only the blocks whose first byte lies in [start, stop) are built. `threads` (None:\n"
    "every core) build ranges of at least `_min_range` bytes in parallel; `limit` builds\n"
    "at most that many blocks on one thread, the table's `end` telling where the next\n"
    "one starts, and `max_bytes` stops there once the blocks taken hold that many bytes;\n"
    "`first_number` numbers the first block in error notes. None when the file cannot "
    "be mapped: read it through parse_sdf then.";

PyMethodDef kBuildTableFromPathDef = {"_build_table_from_path",
                                      keywords_method(build_table_from_path),
                                      METH_VARARGS | METH_KEYWORDS, kBuildTableFromPathDoc};

PyMethodDef kJoinKindsDef = {"_join_kinds", join_kinds, METH_O, kJoinKindsDoc};

PyMethodDef kBuildTableDef = {"_build_table", keywords_method(build_table),
                              METH_VARARGS | METH_KEYWORDS, kBuildTableDoc};

PyMethodDef kMethods[] = {
    {"__arrow_c_schema__", table_schema, METH_NOARGS,
     "__arrow_c_schema__($self)\n--\n\nThe table's schema as an 'arrow_schema' PyCapsule."},
    {"__arrow_c_stream__", keywords_method(table_stream), METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"
     "The table as an 'arrow_array_stream' PyCapsule of one batch."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"num_rows", table_num_rows, nullptr, "The number of rows: one per block.", nullptr},
    {"end", table_end, nullptr,
     "For a table read from a file: the offset just past the last row's block.", nullptr},
    {"skipped", table_skipped, nullptr,
     "The number of blocks whose records were left null for a malformed data header.", nullptr},
    {"kinds", table_kinds, nullptr,
     "(name, kinds, type) of each record column: the kinds of its values ('empty', 'int',\n"
     "'wide-int', 'float' or 'text') and the type they give ('int', 'float' or 'str').",
     nullptr},
    {"scanned", table_scanned, nullptr, "The number of blocks a scan read.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<TableObject>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>("Columns built from SD blocks, for Arrow consumers.")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "molvane.native._SDTable",
    object_size<TableObject>,
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

Ref new_table_type(PyObject* module) {
    return new_type(module, kSpec);
}

Ref build_table_function(PyObject* module) {
    return module_function(module, kBuildTableDef);
}

Ref build_table_from_path_function(PyObject* module) {
    return module_function(module, kBuildTableFromPathDef);
}

Ref join_kinds_function(PyObject* module) {
    return module_function(module, kJoinKindsDef);
}

}  // namespace molvane::py
