// Usage tables as an Arrow C stream: the structures of the Arrow C data and stream interfaces,
// and the export of a table's rows as record batches.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "types/usage.hpp"

extern "C" {

// The Arrow C data interface, as published (ABI-stable; defined once per program by whoever
// needs it, guarded by these macros).
#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE
#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;
    void (*release)(struct ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    struct ArrowArray** children;
    struct ArrowArray* dictionary;
    void (*release)(struct ArrowArray*);
    void* private_data;
};
#endif

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE
struct ArrowArrayStream {
    int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
    int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
    const char* (*get_last_error)(struct ArrowArrayStream*);
    void (*release)(struct ArrowArrayStream*);
    void* private_data;
};
#endif
}

namespace kestro::py::scan {

// Per-reply costs set by with_costs, in row order.
struct table_costs {
    std::vector<std::optional<double>> cost;
    std::vector<std::optional<std::string>> unpriced;  // models left without a cost
};

// Fills `out` with a stream of the table's rows in batches of `batch_rows`, columns in the
// order of the row's attributes (cost_usd last, only when `costs` is set). The stream keeps
// the table and costs alive until it is released. Throws std::bad_alloc only.
void export_stream(std::shared_ptr<const usage_table> table,
                   std::shared_ptr<const table_costs> costs, ArrowArrayStream* out,
                   std::size_t batch_rows = std::size_t{1} << 16);

}  // namespace kestro::py::scan
