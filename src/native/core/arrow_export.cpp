#include "core/arrow_export.hpp"

#include <cerrno>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace molvane::core {

namespace {

const char* format_of(const Table& table, const Column& column) noexcept {
    switch (column.type) {
        case ColumnType::Int64: return "l";
        case ColumnType::Float64: return "g";
        case ColumnType::String: break;
    }
    return table.is_bytes ? "Z" : "U";
}

// --- schema -------------------------------------------------------------------

struct SchemaData {
    std::string name;
    std::string metadata;  // Arrow's encoding of key/value pairs, or empty for none
    std::vector<ArrowSchema> child_schemas;
    std::vector<ArrowSchema*> children;
};

void release_schema(ArrowSchema* schema) {
    if (!schema || !schema->release) return;
    for (int64_t i = 0; i < schema->n_children; ++i) {
        ArrowSchema* child = schema->children[i];
        if (child->release) child->release(child);
    }
    delete static_cast<SchemaData*>(schema->private_data);
    schema->release = nullptr;
}

void fill_schema(ArrowSchema* out, const char* format, SchemaData* data, int64_t flags) {
    out->format = format;
    out->name = data->name.c_str();
    out->metadata = data->metadata.empty() ? nullptr : data->metadata.data();
    out->flags = flags;
    out->n_children = static_cast<int64_t>(data->children.size());
    out->children = data->children.empty() ? nullptr : data->children.data();
    out->dictionary = nullptr;
    out->release = release_schema;
    out->private_data = data;
}

// --- arrays -------------------------------------------------------------------

struct ArrayData {
    std::shared_ptr<const Table> table;
    std::vector<const void*> buffers;
    std::vector<ArrowArray> child_arrays;
    std::vector<ArrowArray*> children;
};

void release_array(ArrowArray* array) {
    if (!array || !array->release) return;
    for (int64_t i = 0; i < array->n_children; ++i) {
        ArrowArray* child = array->children[i];
        if (child->release) child->release(child);
    }
    delete static_cast<ArrayData*>(array->private_data);
    array->release = nullptr;
}

void fill_array(ArrowArray* out, int64_t length, int64_t null_count, ArrayData* data) {
    out->length = length;
    out->null_count = null_count;
    out->offset = 0;
    out->n_buffers = static_cast<int64_t>(data->buffers.size());
    out->buffers = data->buffers.data();
    out->n_children = static_cast<int64_t>(data->children.size());
    out->children = data->children.empty() ? nullptr : data->children.data();
    out->dictionary = nullptr;
    out->release = release_array;
    out->private_data = data;
}

// Arrow wants a buffer even for zero values; this one stands for all empty ones.
alignas(8) const int64_t kEmptyBuffer[1] = {0};

const void* or_empty(const void* buffer) noexcept {
    return buffer ? buffer : kEmptyBuffer;
}

void export_column(const std::shared_ptr<const Table>& table, const Column& column,
                   ArrowArray* out) {
    auto data = std::make_unique<ArrayData>();
    data->table = table;
    if (column.shares_zeros) {
        // Zeros read as all bits clear, offsets all 0 and values all 0.
        const int64_t* zeros = table->zeros.data();
        data->buffers.push_back(zeros);
        data->buffers.push_back(zeros);
        if (column.type == ColumnType::String) data->buffers.push_back(kEmptyBuffer);
        fill_array(out, column.length, column.null_count, data.release());
        return;
    }
    const void* validity = column.null_count == 0 ? nullptr : column.validity.data();
    data->buffers.push_back(validity);
    switch (column.type) {
        case ColumnType::Int64: data->buffers.push_back(or_empty(column.integers.data())); break;
        case ColumnType::Float64: data->buffers.push_back(or_empty(column.reals.data())); break;
        case ColumnType::String:
            data->buffers.push_back(column.offsets.data());
            data->buffers.push_back(or_empty(column.data.data()));
            break;
    }
    fill_array(out, column.length, column.null_count, data.release());
}

// --- stream -------------------------------------------------------------------

struct StreamData {
    std::shared_ptr<const Table> table;
    size_t next = 0;  // the next batch
};

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    try {
        export_schema(*static_cast<StreamData*>(stream->private_data)->table, out);
        return 0;
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    } catch (...) {
        return EIO;
    }
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
    auto* data = static_cast<StreamData*>(stream->private_data);
    try {
        const std::shared_ptr<const Table>& table = data->table;
        const size_t batches = table->parts.empty() ? 1 : table->parts.size();
        if (data->next == batches) {
            out->release = nullptr;  // the end of the stream
            return 0;
        }
        if (table->parts.empty())
            export_array(table, out);
        else  // a part shares the ownership of the whole table
            export_array(std::shared_ptr<const Table>(table, &table->parts[data->next]), out);
        ++data->next;
        return 0;
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    } catch (...) {
        return EIO;
    }
}

const char* stream_last_error(ArrowArrayStream*) {
    return nullptr;
}

void release_stream(ArrowArrayStream* stream) {
    if (!stream || !stream->release) return;
    delete static_cast<StreamData*>(stream->private_data);
    stream->release = nullptr;
}

constexpr std::string_view kSkippedKey = "molvane.skipped";
// A typed column's Column::texts, as lines: each number as from_table
// writes it, then its text as read (neither holds a line break).
constexpr std::string_view kTextsKey = "molvane.texts";

// Arrow's metadata encoding: a count, then each key and value after its
// length, every number a native-endian int32.
void append_int32(std::string& out, size_t value) {
    const auto number = static_cast<int32_t>(value);
    out.append(reinterpret_cast<const char*>(&number), sizeof number);
}

std::string encode_metadata(
    std::initializer_list<std::pair<std::string_view, std::string_view>> pairs) {
    std::string out;
    append_int32(out, pairs.size());
    for (const auto& [key, value] : pairs) {
        append_int32(out, key.size());
        out.append(key);
        append_int32(out, value.size());
        out.append(value);
    }
    return out;
}

}  // namespace

void export_schema(const Table& whole, ArrowSchema* out) {
    const Table& table = whole.parts.empty() ? whole : whole.parts.front();
    auto data = std::make_unique<SchemaData>();
    // Every consumer of the table (pyarrow, polars, pandas through either)
    // gets the count of skipped blocks with the schema.
    if (whole.counts_skipped)
        data->metadata = encode_metadata({{kSkippedKey, std::to_string(whole.skipped)}});
    const size_t count = table.columns.size();
    std::vector<std::unique_ptr<SchemaData>> column_data;
    column_data.reserve(count);
    data->child_schemas.resize(count);
    data->children.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        column_data.push_back(std::make_unique<SchemaData>());
        column_data.back()->name = table.columns[i].name;
        const auto& texts = table.columns[i].texts;
        if (!texts.empty()) {
            std::string lines;
            for (const auto& [written, read] : texts)
                lines.append(written).append("\n").append(read).append("\n");
            lines.pop_back();
            column_data.back()->metadata = encode_metadata({{kTextsKey, lines}});
        }
        data->children.push_back(&data->child_schemas[i]);
    }
    // Nothing below allocates: ownership moves into the structs.
    for (size_t i = 0; i < count; ++i)
        fill_schema(&data->child_schemas[i], format_of(table, table.columns[i]),
                    column_data[i].release(), ARROW_FLAG_NULLABLE);
    fill_schema(out, "+s", data.release(), 0);
}

void export_array(std::shared_ptr<const Table> table, ArrowArray* out) {
    auto data = std::make_unique<ArrayData>();
    const size_t count = table->columns.size();
    data->table = table;
    data->buffers.push_back(nullptr);
    data->child_arrays.resize(count);
    data->children.reserve(count);
    for (size_t i = 0; i < count; ++i)
        data->children.push_back(&data->child_arrays[i]);
    size_t done = 0;
    try {
        for (; done < count; ++done)
            export_column(table, table->columns[done], &data->child_arrays[done]);
    } catch (...) {
        for (size_t i = 0; i < done; ++i)
            release_array(&data->child_arrays[i]);
        throw;
    }
    fill_array(out, table->rows, 0, data.release());
}

void export_stream(std::shared_ptr<const Table> table, ArrowArrayStream* out) {
    auto data = std::make_unique<StreamData>();
    data->table = std::move(table);
    out->get_schema = stream_get_schema;
    out->get_next = stream_get_next;
    out->get_last_error = stream_last_error;
    out->release = release_stream;
    out->private_data = data.release();
}

}  // namespace molvane::core
