// The Arrow export of usage tables: one struct array per batch, its children the columns.
#include "python/scan/arrow.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace kestro::py::scan {

namespace {

// ---- Schemas -----------------------------------------------------------------------------

struct schema_data {
    std::string format;
    std::string name;
    std::vector<std::unique_ptr<ArrowSchema>> children;
    std::vector<ArrowSchema*> child_pointers;
};

void release_schema(ArrowSchema* schema) {
    auto* data = static_cast<schema_data*>(schema->private_data);
    for (auto& child : data->children) {
        if (child->release != nullptr) child->release(child.get());
    }
    delete data;
    schema->release = nullptr;
}

void make_schema(ArrowSchema* out, std::string format, std::string name, bool nullable,
                 std::vector<std::unique_ptr<ArrowSchema>> children = {}) {
    auto data = std::make_unique<schema_data>();
    data->format = std::move(format);
    data->name = std::move(name);
    data->children = std::move(children);
    for (auto& child : data->children)
        data->child_pointers.push_back(child.get());
    *out = ArrowSchema{};
    out->format = data->format.c_str();
    out->name = data->name.c_str();
    out->flags = nullable ? ARROW_FLAG_NULLABLE : 0;
    out->n_children = std::int64_t(data->children.size());
    out->children = data->child_pointers.empty() ? nullptr : data->child_pointers.data();
    out->release = release_schema;
    out->private_data = data.release();
}

std::unique_ptr<ArrowSchema> schema_of(std::string format, std::string name, bool nullable,
                                       std::vector<std::unique_ptr<ArrowSchema>> children = {}) {
    auto schema = std::make_unique<ArrowSchema>();
    make_schema(schema.get(), std::move(format), std::move(name), nullable, std::move(children));
    return schema;
}

// ---- Arrays ------------------------------------------------------------------------------

struct array_data {
    std::vector<std::shared_ptr<void>> storage;  // the buffers' memory
    std::vector<const void*> buffers;
    std::vector<std::unique_ptr<ArrowArray>> children;
    std::vector<ArrowArray*> child_pointers;
};

void release_array(ArrowArray* array) {
    auto* data = static_cast<array_data*>(array->private_data);
    for (auto& child : data->children) {
        if (child->release != nullptr) child->release(child.get());
    }
    delete data;
    array->release = nullptr;
}

// Builds one column's array: its buffers are vectors handed over whole.
class array_builder {
  public:
    array_builder() : data_(std::make_unique<array_data>()) {}

    // A validity bitmap when some value is missing, else no buffer.
    void validity(const std::vector<bool>& present) {
        null_count_ = std::int64_t(std::count(present.begin(), present.end(), false));
        if (null_count_ == 0) {
            data_->buffers.push_back(nullptr);
            return;
        }
        std::vector<std::uint8_t> bits((present.size() + 7) / 8, 0);
        for (std::size_t i = 0; i < present.size(); ++i) {
            if (present[i]) bits[i / 8] |= std::uint8_t(1u << (i % 8));
        }
        buffer(std::move(bits));
    }
    void no_validity() { data_->buffers.push_back(nullptr); }

    template <class T>
    void buffer(std::vector<T>&& values) {
        // Never a null pointer, even for no values: consumers may read an empty buffer.
        values.reserve(std::max<std::size_t>(values.size(), 1));
        auto held = std::make_shared<std::vector<T>>(std::move(values));
        data_->buffers.push_back(held->data());
        data_->storage.push_back(std::move(held));
    }
    void child(std::unique_ptr<ArrowArray> array) { data_->children.push_back(std::move(array)); }

    std::unique_ptr<ArrowArray> finish(std::size_t length) {
        auto out = std::make_unique<ArrowArray>();
        fill(out.get(), length);
        return out;
    }
    void fill(ArrowArray* out, std::size_t length) {
        for (auto& c : data_->children)
            data_->child_pointers.push_back(c.get());
        *out = ArrowArray{};
        out->length = std::int64_t(length);
        out->null_count = null_count_;
        out->n_buffers = std::int64_t(data_->buffers.size());
        out->buffers = data_->buffers.data();
        out->n_children = std::int64_t(data_->children.size());
        out->children = data_->child_pointers.empty() ? nullptr : data_->child_pointers.data();
        out->release = release_array;
        out->private_data = data_.release();
    }

  private:
    std::unique_ptr<array_data> data_;
    std::int64_t null_count_ = 0;
};

// UTF-8 texts (format "u", 32-bit offsets; a batch stays far below 2 GiB of text).
template <class Text>
std::unique_ptr<ArrowArray> text_column(std::size_t n, Text&& text_at) {
    std::vector<bool> present(n);
    std::vector<std::int32_t> offsets;
    offsets.reserve(n + 1);
    offsets.push_back(0);
    std::vector<char> bytes;
    for (std::size_t i = 0; i < n; ++i) {
        const std::optional<std::string_view> text = text_at(i);
        present[i] = text.has_value();
        if (text) bytes.insert(bytes.end(), text->begin(), text->end());
        offsets.push_back(std::int32_t(bytes.size()));
    }
    array_builder b;
    b.validity(present);
    b.buffer(std::move(offsets));
    b.buffer(std::move(bytes));
    return b.finish(n);
}

template <class Value>
std::unique_ptr<ArrowArray> int_column(std::size_t n, Value&& value_at) {
    std::vector<std::int64_t> values(n);
    for (std::size_t i = 0; i < n; ++i)
        values[i] = value_at(i);
    array_builder b;
    b.no_validity();
    b.buffer(std::move(values));
    return b.finish(n);
}

template <class Value>
std::unique_ptr<ArrowArray> double_column(std::size_t n, Value&& value_at) {
    std::vector<bool> present(n);
    std::vector<double> values(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::optional<double> v = value_at(i);
        present[i] = v.has_value();
        values[i] = v.value_or(0.0);
    }
    array_builder b;
    b.validity(present);
    b.buffer(std::move(values));
    return b.finish(n);
}

std::int64_t clamp_count(std::uint64_t count) {
    return std::int64_t(std::min<std::uint64_t>(count, std::numeric_limits<std::int64_t>::max()));
}

// Microseconds since the epoch, rounded down like the Python rows' datetimes.
std::int64_t micros(const date_time& t) {
    return t.seconds * 1'000'000 + std::int64_t(t.nanos / 1000);
}

// The columns, in the order of the row's attributes; cost_usd, last, only once costs are set.
enum class column_id : unsigned char {
    timestamp,
    project,
    session_id,
    agent_id,
    is_sidechain,
    model,
    input_tokens,
    output_tokens,
    cache_creation_tokens,
    cache_creation_5m_tokens,
    cache_creation_1h_tokens,
    cache_read_tokens,
    logged_cost_usd,
    tools,
    message_id,
    request_id,
    cost_usd,
};

// The columns: name, Arrow format, nullable.
struct column {
    column_id id;
    const char* name;
    const char* format;
    bool nullable;
};
constexpr column k_columns[] = {
    {column_id::timestamp, "timestamp", "tsu:UTC", false},
    {column_id::project, "project", "u", false},
    {column_id::session_id, "session_id", "u", false},
    {column_id::agent_id, "agent_id", "u", true},
    {column_id::is_sidechain, "is_sidechain", "b", false},
    {column_id::model, "model", "u", true},
    {column_id::input_tokens, "input_tokens", "l", false},
    {column_id::output_tokens, "output_tokens", "l", false},
    {column_id::cache_creation_tokens, "cache_creation_tokens", "l", false},
    {column_id::cache_creation_5m_tokens, "cache_creation_5m_tokens", "l", false},
    {column_id::cache_creation_1h_tokens, "cache_creation_1h_tokens", "l", false},
    {column_id::cache_read_tokens, "cache_read_tokens", "l", false},
    {column_id::logged_cost_usd, "logged_cost_usd", "g", true},
    {column_id::tools, "tools", "+l", false},
    {column_id::message_id, "message_id", "u", true},
    {column_id::request_id, "request_id", "u", true},
    {column_id::cost_usd, "cost_usd", "g", true},
};
// Each column at its id's place, and every id with its column.
constexpr bool columns_in_order() {
    for (std::size_t c = 0; c < std::size(k_columns); ++c) {
        if (static_cast<std::size_t>(k_columns[c].id) != c) return false;
    }
    return true;
}
static_assert(columns_in_order());
static_assert(std::size(k_columns) == static_cast<std::size_t>(column_id::cost_usd) + 1);
constexpr auto k_cost_column = static_cast<std::size_t>(column_id::cost_usd);

struct stream_data {
    std::shared_ptr<const usage_table> table;
    std::shared_ptr<const table_costs> costs;
    std::size_t batch_rows;
    std::size_t next = 0;
    std::string error;
};

std::size_t column_count(const stream_data& s) {
    return s.costs ? std::size(k_columns) : k_cost_column;
}

void build_schema(const stream_data& s, ArrowSchema* out) {
    std::vector<std::unique_ptr<ArrowSchema>> fields;
    for (std::size_t c = 0; c < column_count(s); ++c) {
        const column& col = k_columns[c];
        std::vector<std::unique_ptr<ArrowSchema>> children;
        if (std::string_view(col.format) == "+l") children.push_back(schema_of("u", "item", false));
        fields.push_back(schema_of(col.format, col.name, col.nullable, std::move(children)));
    }
    make_schema(out, "+s", "", false, std::move(fields));
}

std::unique_ptr<ArrowArray> tools_column(const usage_table& t, std::size_t begin, std::size_t n) {
    std::vector<std::int32_t> offsets;
    offsets.reserve(n + 1);
    offsets.push_back(0);
    std::vector<std::uint32_t> names;
    for (std::size_t i = 0; i < n; ++i) {
        const auto& tools = t.rows[begin + i].tools;
        names.insert(names.end(), tools.begin(), tools.end());
        offsets.push_back(std::int32_t(names.size()));
    }
    auto item = text_column(names.size(), [&](std::size_t i) -> std::optional<std::string_view> {
        return t.texts.at(names[i]);
    });
    array_builder b;
    b.no_validity();
    b.buffer(std::move(offsets));
    b.child(std::move(item));
    return b.finish(n);
}

std::unique_ptr<ArrowArray> build_column(const stream_data& s, std::size_t c, std::size_t begin,
                                         std::size_t n) {
    const usage_table& t = *s.table;
    auto row = [&](std::size_t i) -> const usage_row& { return t.rows[begin + i]; };
    auto pooled = [&](std::uint32_t index) -> std::optional<std::string_view> {
        if (index == 0) return std::nullopt;
        return t.texts.at(index);
    };
    auto owned = [](const std::optional<std::string>& text) -> std::optional<std::string_view> {
        if (!text) return std::nullopt;
        return *text;
    };
    switch (k_columns[c].id) {
        case column_id::timestamp:
            return int_column(n, [&](std::size_t i) { return micros(row(i).timestamp); });
        case column_id::project:
            return text_column(n, [&](std::size_t i) { return pooled(row(i).project); });
        case column_id::session_id:
            return text_column(n, [&](std::size_t i) { return pooled(row(i).session_id); });
        case column_id::agent_id:
            return text_column(n, [&](std::size_t i) { return pooled(row(i).agent_id); });
        case column_id::is_sidechain: {
            std::vector<std::uint8_t> bits((n + 7) / 8, 0);
            for (std::size_t i = 0; i < n; ++i) {
                if (row(i).is_sidechain) bits[i / 8] |= std::uint8_t(1u << (i % 8));
            }
            array_builder b;
            b.no_validity();
            b.buffer(std::move(bits));
            return b.finish(n);
        }
        case column_id::model:
            return text_column(n, [&](std::size_t i) { return pooled(row(i).model); });
        case column_id::input_tokens:
            return int_column(n, [&](std::size_t i) { return clamp_count(row(i).input_tokens); });
        case column_id::output_tokens:
            return int_column(n, [&](std::size_t i) { return clamp_count(row(i).output_tokens); });
        case column_id::cache_creation_tokens:
            return int_column(
                n, [&](std::size_t i) { return clamp_count(row(i).cache_creation_input_tokens); });
        case column_id::cache_creation_5m_tokens:
            return int_column(
                n, [&](std::size_t i) { return clamp_count(row(i).ephemeral_5m_input_tokens); });
        case column_id::cache_creation_1h_tokens:
            return int_column(
                n, [&](std::size_t i) { return clamp_count(row(i).ephemeral_1h_input_tokens); });
        case column_id::cache_read_tokens:
            return int_column(
                n, [&](std::size_t i) { return clamp_count(row(i).cache_read_input_tokens); });
        case column_id::logged_cost_usd:
            return double_column(n, [&](std::size_t i) { return row(i).cost_usd; });
        case column_id::tools:
            return tools_column(t, begin, n);
        case column_id::message_id:
            return text_column(n, [&](std::size_t i) { return owned(row(i).message_id); });
        case column_id::request_id:
            return text_column(n, [&](std::size_t i) { return owned(row(i).request_id); });
        case column_id::cost_usd:
            return double_column(n, [&](std::size_t i) { return s.costs->cost[begin + i]; });
    }
    return nullptr;
}

stream_data& data_of(ArrowArrayStream* stream) {
    return *static_cast<stream_data*>(stream->private_data);
}

int Stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    try {
        build_schema(data_of(stream), out);
        return 0;
    } catch (const std::bad_alloc&) {
        data_of(stream).error = "out of memory";
        return ENOMEM;
    }
}

int Stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
    stream_data& s = data_of(stream);
    try {
        const std::size_t total = s.table->rows.size();
        // An empty table still gives one (empty) batch, then the end.
        if (s.next > total || (s.next == total && total > 0)) {
            *out = ArrowArray{};
            out->release = nullptr;  // the end of the stream
            return 0;
        }
        const std::size_t begin = s.next;
        const std::size_t n = std::min(s.batch_rows, total - begin);
        array_builder batch;
        batch.no_validity();
        for (std::size_t c = 0; c < column_count(s); ++c) {
            batch.child(build_column(s, c, begin, n));
        }
        batch.fill(out, n);
        s.next = n == 0 ? total + 1 : begin + n;
        return 0;
    } catch (const std::bad_alloc&) {
        s.error = "out of memory";
        return ENOMEM;
    }
}

const char* Stream_get_last_error(ArrowArrayStream* stream) {
    const std::string& error = data_of(stream).error;
    return error.empty() ? nullptr : error.c_str();
}

void Stream_release(ArrowArrayStream* stream) {
    delete static_cast<stream_data*>(stream->private_data);
    stream->release = nullptr;
}

}  // namespace

void export_stream(std::shared_ptr<const usage_table> table,
                   std::shared_ptr<const table_costs> costs, ArrowArrayStream* out,
                   std::size_t batch_rows) {
    auto data = std::make_unique<stream_data>();
    data->table = std::move(table);
    data->costs = std::move(costs);
    data->batch_rows = std::max<std::size_t>(batch_rows, 1);
    *out = ArrowArrayStream{};
    out->get_schema = Stream_get_schema;
    out->get_next = Stream_get_next;
    out->get_last_error = Stream_get_last_error;
    out->release = Stream_release;
    out->private_data = data.release();
}

}  // namespace kestro::py::scan
