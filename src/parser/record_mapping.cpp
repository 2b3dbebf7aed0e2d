// Record mapping: the field tables of each record and how their members are read.
#include "parser/record_mapping.hpp"

#include "parser/failure_texts.hpp"
#include "parser/key_table.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace kestro::detail {

namespace {

using namespace std::string_view_literals;

constexpr bool required = true;
constexpr bool optional = false;

// One field of a nested record: which it is, its key, and whether a record without it fails.
template <class F>
struct field_row {
    F field;
    std::string_view key;
    bool required;
};

template <class F, std::size_t N>
constexpr std::array<std::string_view, N> keys_of(const std::array<field_row<F>, N>& rows) {
    std::array<std::string_view, N> keys{};
    for (std::size_t i = 0; i < N; ++i)
        keys[i] = rows[i].key;
    return keys;
}

// Bit i set when row i is required.
template <class F, std::size_t N>
constexpr std::uint64_t required_bits_of(const std::array<field_row<F>, N>& rows) {
    static_assert(N <= 64, "one bit per field");
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < N; ++i) {
        if (rows[i].required) bits |= std::uint64_t{1} << i;
    }
    return bits;
}

// A nested record: its rows in ascending key byte order (the order members are mapped in), and
// its fields in declaration order (the order of the array form and of missing-field checks).
template <class F, std::size_t N>
struct struct_shape {
    std::string_view name;  // "struct TokenUsage"
    std::array<field_row<F>, N> rows;
    std::array<F, N> declared;
    // Arrays read inside a content block count their extra elements per sequence.
    bool inside_content;
    std::array<std::string_view, N> keys = keys_of(rows);
    key_index index = index_keys(keys);
    std::uint64_t required_bits = required_bits_of(rows);

    [[nodiscard]] constexpr const field_row<F>& row(F f) const {
        return rows[static_cast<std::size_t>(f)];
    }
};

// Row i is field i, keys ascend and land in distinct slots, and the declaration order names
// every field once: what the mapping relies on, checked for each table at compile time.
template <class F, std::size_t N>
constexpr bool well_formed(const struct_shape<F, N>& shape) {
    std::array<bool, N> declared{};
    for (std::size_t i = 0; i < N; ++i) {
        if (static_cast<std::size_t>(shape.rows[i].field) != i) return false;
        const auto d = static_cast<std::size_t>(shape.declared[i]);
        if (d >= N || declared[d]) return false;
        declared[d] = true;
    }
    return ascending(shape.keys) && slots_distinct(shape.keys);
}

enum class rec : std::uint8_t {
    cost_usd,
    cwd,
    duration_ms,
    is_meta,
    is_sidechain,
    message,
    parent_uuid,
    request_id,
    session_id,
    timestamp,
    tool_use_result,
    type,
    user_type,
    uuid,
    version,
};
constexpr struct_shape<rec, 15> record_shape{
    "struct MessageRecord",
    {{
        {rec::cost_usd, "costUSD", optional},
        {rec::cwd, "cwd", optional},
        {rec::duration_ms, "durationMs", optional},
        {rec::is_meta, "isMeta", optional},
        {rec::is_sidechain, "isSidechain", required},
        {rec::message, "message", required},
        {rec::parent_uuid, "parentUuid", optional},
        {rec::request_id, "requestId", optional},
        {rec::session_id, "sessionId", required},
        {rec::timestamp, "timestamp", required},
        {rec::tool_use_result, "toolUseResult", optional},
        {rec::type, "type", required},
        {rec::user_type, "userType", required},
        {rec::uuid, "uuid", required},
        {rec::version, "version", required},
    }},
    {rec::parent_uuid, rec::is_sidechain, rec::user_type, rec::cwd, rec::session_id, rec::version,
     rec::type, rec::message, rec::cost_usd, rec::duration_ms, rec::request_id, rec::uuid,
     rec::timestamp, rec::tool_use_result, rec::is_meta},
    false};

enum class pay : std::uint8_t { content, id, model, role, stop_reason, usage };
constexpr struct_shape<pay, 6> payload_shape{
    "struct Message",
    {{
        {pay::content, "content", optional},
        {pay::id, "id", optional},
        {pay::model, "model", optional},
        {pay::role, "role", required},
        {pay::stop_reason, "stop_reason", optional},
        {pay::usage, "usage", optional},
    }},
    {pay::id, pay::role, pay::model, pay::content, pay::stop_reason, pay::usage},
    false};

enum class use : std::uint8_t { cache_creation, cache_read, input, output, service_tier };
constexpr struct_shape<use, 5> usage_shape{
    "struct TokenUsage",
    {{
        {use::cache_creation, "cache_creation_input_tokens", optional},
        {use::cache_read, "cache_read_input_tokens", optional},
        {use::input, "input_tokens", required},
        {use::output, "output_tokens", required},
        {use::service_tier, "service_tier", optional},
    }},
    {use::input, use::cache_creation, use::cache_read, use::output, use::service_tier},
    false};

enum class img : std::uint8_t { data, media_type, type };
constexpr struct_shape<img, 3> image_source_shape{"struct ImageSource",
                                                  {{
                                                      {img::data, "data", required},
                                                      {img::media_type, "media_type", required},
                                                      {img::type, "type", required},
                                                  }},
                                                  {img::type, img::media_type, img::data},
                                                  true};

enum class sum : std::uint8_t { leaf_uuid, summary, type };
constexpr struct_shape<sum, 3> summary_shape{"struct SummaryRecord",
                                             {{
                                                 {sum::leaf_uuid, "leafUuid", required},
                                                 {sum::summary, "summary", required},
                                                 {sum::type, "type", required},
                                             }},
                                             {sum::type, sum::summary, sum::leaf_uuid},
                                             false};

static_assert(well_formed(record_shape) && well_formed(payload_shape) && well_formed(usage_shape) &&
              well_formed(image_source_shape) && well_formed(summary_shape));

// Every key any content block knows; a variant maps only its own.
enum class blk : std::uint8_t {
    content,
    id,
    input,
    is_error,
    name,
    signature,
    source,
    text,
    thinking,
    tool_use_id,
    type,
};
constexpr std::size_t at(blk key) {
    return static_cast<std::size_t>(key);
}
constexpr std::array<std::string_view, 11> block_keys{
    "content", "id",   "input",    "is_error",    "name", "signature",
    "source",  "text", "thinking", "tool_use_id", "type"};
constexpr std::array<std::string_view, 5> block_tags{"text", "thinking", "tool_use", "tool_result",
                                                     "image"};
static_assert(block_tags.size() == std::variant_size_v<decltype(content_block::value)>);

struct variant_shape {
    std::string_view name;
    std::array<blk, 3> fields;  // declaration order
    std::uint8_t count;
    std::uint16_t required;  // bit per block key
};
constexpr std::uint16_t bit(std::size_t key) {
    return static_cast<std::uint16_t>(1U << key);
}
constexpr std::uint16_t bit(blk key) {
    return bit(at(key));
}
constexpr std::array<variant_shape, 5> variants{{
    {"struct variant ContentBlock::Text", {blk::text}, 1, bit(blk::text)},
    {"struct variant ContentBlock::Thinking",
     {blk::thinking, blk::signature},
     2,
     static_cast<std::uint16_t>(bit(blk::thinking) | bit(blk::signature))},
    {"struct variant ContentBlock::ToolUse",
     {blk::id, blk::name, blk::input},
     3,
     static_cast<std::uint16_t>(bit(blk::id) | bit(blk::name) | bit(blk::input))},
    {"struct variant ContentBlock::ToolResult",
     {blk::tool_use_id, blk::content, blk::is_error},
     3,
     bit(blk::tool_use_id)},
    {"struct variant ContentBlock::Image", {blk::source}, 1, bit(blk::source)},
}};

static_assert(ascending(block_keys) && slots_distinct(block_keys));
constexpr key_index block_key_index = index_keys(block_keys);

enum class step { failed, done, descend };

template <class V>
class mapper {
  public:
    explicit mapper(std::string& error) : err_(error) {}

    bool message(const V& v, message_record& r) {
        return read_struct(v, record_shape, [&](rec field, const V& x) {
            switch (field) {
                case rec::cost_usd:
                    return read_optional(x, r.cost_usd, &mapper::read_f64);
                case rec::cwd:
                    return read_shared(x, r.cwd, last_cwd_, "path string");
                case rec::duration_ms:
                    return read_optional(x, r.duration_ms, &mapper::read_u64);
                case rec::is_meta:
                    return read_optional(x, r.is_meta, &mapper::read_bool);
                case rec::is_sidechain:
                    return read_bool(x, r.is_sidechain);
                case rec::message:
                    return payload(x, r.message);
                case rec::parent_uuid:
                    return read_optional(x, r.parent_uuid, &mapper::read_uuid);
                case rec::request_id:
                    return read_optional(x, r.request_id, &mapper::read_text);
                case rec::session_id:
                    return read_shared(x, r.session_id, last_session_id_, "a string");
                case rec::timestamp:
                    return read_timestamp(x, r.timestamp);
                case rec::tool_use_result:
                    if (x.kind() != json_kind::null) {
                        r.tool_use_result = x.take_json(packer_);
                    }
                    return true;
                case rec::type:
                    return read_enum(x, message_type_texts, r.message_type);
                case rec::user_type:
                    return read_enum(x, user_type_texts, r.user_type);
                case rec::uuid:
                    return read_uuid(x, r.uuid);
                case rec::version:
                    return read_text(x, r.version);
            }
            return false;
        });
    }

    bool summary(const V& v, summary_record& r) {
        return read_struct(v, summary_shape, [&](sum field, const V& x) {
            switch (field) {
                case sum::leaf_uuid:
                    return read_uuid(x, r.leaf_uuid);
                case sum::summary:
                    return read_text(x, r.summary);
                case sum::type:
                    return read_text(x, r.record_type);
            }
            return false;
        });
    }

  private:
    // A content block in the making: the fields still to map (in the order they are mapped)
    // and the failure to report once they are all mapped (a missing field, a wrong length).
    struct block_plan {
        std::array<blk, 3> field{};
        std::array<V, 3> value{};
        std::uint8_t count = 0;
        std::uint8_t next = 0;
        std::string final_error;

        void add(blk f, const V& v) {
            field[count] = f;
            value[count] = v;
            ++count;
        }
    };

    // One list of blocks being read; `owner` is the tool result whose content it is.
    struct frame {
        typename V::array_iterator it;
        typename V::array_iterator end;
        std::vector<content_block> blocks;
        bool has_owner = false;
        content_block owner;
        block_plan plan;
    };

    bool fail(std::string text) {
        err_ = std::move(text);
        return false;
    }
    bool invalid_type(const V& v, std::string_view expected) {
        std::string text = "invalid type: " + found(v) + ", expected ";
        text.append(expected);
        return fail(std::move(text));
    }
    bool missing(std::string_view key) {
        std::string text = "missing field `";
        text.append(key);
        text += '`';
        return fail(std::move(text));
    }

    template <class T>
    bool read_optional(const V& v, std::optional<T>& out, bool (mapper::*read)(const V&, T&)) {
        if (v.kind() == json_kind::null) {
            out.reset();
            return true;
        }
        return (this->*read)(v, out.emplace());
    }

    bool read_string(const V& v, std::string& out, std::string_view expected) {
        if (v.kind() != json_kind::string) {
            return invalid_type(v, expected);
        }
        out = v.take_string();
        return true;
    }
    bool read_text(const V& v, std::string& out) { return read_string(v, out, "a string"); }
    // Lines of one session repeat the same value: it is shared with the line before when equal.
    bool read_shared(const V& v, shared_text& out, shared_text& last, std::string_view expected) {
        if (v.kind() != json_kind::string) {
            return invalid_type(v, expected);
        }
        if (last.view() != v.string()) {
            last = shared_text(v.take_string());
        }
        out = last;
        return true;
    }

    bool read_bool(const V& v, bool& out) {
        if (v.kind() != json_kind::boolean) {
            return invalid_type(v, "a boolean");
        }
        out = v.boolean();
        return true;
    }

    bool read_u32(const V& v, std::uint32_t& out) {
        if (v.kind() == json_kind::uint && v.uint() <= 0xFFFFFFFFU) {
            out = static_cast<std::uint32_t>(v.uint());
            return true;
        }
        return bad_unsigned(v, "u32");
    }
    bool read_u64(const V& v, std::uint64_t& out) {
        if (v.kind() == json_kind::uint) {
            out = v.uint();
            return true;
        }
        return bad_unsigned(v, "u64");
    }
    bool bad_unsigned(const V& v, std::string_view expected) {
        std::string number;
        if (v.kind() == json_kind::uint) {
            number = std::to_string(v.uint());
        } else if (v.kind() == json_kind::sint) {
            number = std::to_string(v.sint());
        } else {
            return invalid_type(v, expected);
        }
        std::string text = "invalid value: integer `" + number + "`, expected ";
        text.append(expected);
        return fail(std::move(text));
    }

    bool read_f64(const V& v, double& out) {
        switch (v.kind()) {
            case json_kind::uint:
                out = static_cast<double>(v.uint());
                return true;
            case json_kind::sint:
                out = static_cast<double>(v.sint());
                return true;
            case json_kind::real:
                out = v.real();
                return true;
            case json_kind::null:
            case json_kind::boolean:
            case json_kind::string:
            case json_kind::array:
            case json_kind::object:
                break;
        }
        return invalid_type(v, "f64");
    }

    bool read_uuid(const V& v, kestro::uuid& out) {
        if (v.kind() != json_kind::string) {
            return invalid_type(v, "a UUID string");
        }
        auto parsed = kestro::uuid::parse(v.string());
        if (!parsed) return fail("UUID parsing failed: " + parsed.error().as_parse()->text);
        out = parsed.value();
        return true;
    }

    bool read_timestamp(const V& v, date_time& out) {
        if (v.kind() != json_kind::string) {
            return invalid_type(v, "a formatted date and time string or a unix timestamp");
        }
        auto parsed = date_time::parse(v.string());
        if (!parsed) return fail(parsed.error().as_parse()->text);
        out = parsed.value();
        return true;
    }

    // A string naming a value, or a map with that name as its only key and null as its value.
    template <class E, std::size_t N>
    bool read_enum(const V& v, const std::array<std::string_view, N>& texts, E& out) {
        auto lookup = [&](std::string_view name) {
            return static_cast<std::size_t>(std::find(texts.begin(), texts.end(), name) -
                                            texts.begin());
        };
        if (v.kind() == json_kind::string) {
            std::size_t i = lookup(v.string());
            if (i == N) {
                return fail(unknown_variant(v.string(), texts));
            }
            out = static_cast<E>(i);
            return true;
        }
        if (v.kind() != json_kind::object) {
            return invalid_type(v, "string or map");
        }
        // Repeated keys count once, the last value winning.
        int distinct = 0;
        std::string_view key;
        V value;
        v.for_each_member([&](std::string_view k, V x) {
            if (distinct == 0) {
                distinct = 1;
                key = k;
                value = x;
            } else if (k == key) {
                value = x;
            } else {
                distinct = 2;
            }
        });
        if (distinct != 1) {
            return fail("invalid value: map, expected map with a single key");
        }
        std::size_t i = lookup(key);
        if (i == N) {
            return fail(unknown_variant(key, texts));
        }
        if (value.kind() != json_kind::null) {
            return invalid_type(value, "unit variant");
        }
        out = static_cast<E>(i);
        return true;
    }

    template <class F, std::size_t N, class Field>
    bool read_struct(const V& v, const struct_shape<F, N>& shape, Field&& field) {
        if (v.kind() == json_kind::object) {
            std::array<V, N> slot{};
            std::uint64_t seen = 0;  // bit i: row i's key was met
            v.for_each_member([&](std::string_view key, V x) {
                const std::size_t i = find_key(shape.keys, shape.index, key);
                if (i < N) {
                    slot[i] = x;
                    seen |= std::uint64_t{1} << i;
                }
            });
            // Rows in key order, as before the bits: lowest first.
            for (std::uint64_t left = seen; left != 0; left &= left - 1) {
                const auto i = static_cast<std::size_t>(std::countr_zero(left));
                if (!field(static_cast<F>(i), slot[i])) return false;
            }
            if ((seen & shape.required_bits) == shape.required_bits) return true;
            for (F f : shape.declared) {
                const auto i = static_cast<std::size_t>(f);
                if ((shape.required_bits >> i & 1) != 0 && (seen >> i & 1) == 0) {
                    return missing(shape.row(f).key);
                }
            }
            return true;
        }
        if (v.kind() == json_kind::array) {
            return read_struct_array(v, shape, field);
        }
        return invalid_type(v, shape.name);
    }

    // The array form: the fields in declaration order, no fewer and no more.
    template <class F, std::size_t N, class Field>
    bool read_struct_array(const V& v, const struct_shape<F, N>& shape, Field& field) {
        std::size_t n = v.array_size();
        auto it = v.array_begin();
        for (std::size_t k = 0; k < N; ++k, ++it) {
            if (k >= n) {
                std::string text = "invalid length " + std::to_string(k) + ", expected ";
                text.append(shape.name);
                return fail(text + " with " + elements(N));
            }
            if (!field(shape.declared[k], V(*it))) return false;
        }
        if (n > N) return fail(too_many_elements(n, N, shape.inside_content));
        return true;
    }

    bool payload(const V& v, message_payload& p) {
        return read_struct(v, payload_shape, [&](pay field, const V& x) {
            switch (field) {
                case pay::content:
                    return message_content(x, p.content);
                case pay::id:
                    return read_optional(x, p.id, &mapper::read_text);
                case pay::model:
                    return read_optional(x, p.model, &mapper::read_text);
                case pay::role:
                    return read_enum(x, role_texts, p.role);
                case pay::stop_reason:
                    if (x.kind() == json_kind::null) {
                        return true;
                    }
                    return read_enum(x, stop_reason_texts, p.stop_reason.emplace());
                case pay::usage:
                    return read_optional(x, p.usage, &mapper::usage);
            }
            return false;
        });
    }

    bool usage(const V& v, token_usage& u) {
        return read_struct(v, usage_shape, [&](use field, const V& x) {
            switch (field) {
                case use::cache_creation:
                    return read_optional(x, u.cache_creation_input_tokens, &mapper::read_u32);
                case use::cache_read:
                    return read_optional(x, u.cache_read_input_tokens, &mapper::read_u32);
                case use::input:
                    return read_u32(x, u.input_tokens);
                case use::output:
                    return read_u32(x, u.output_tokens);
                case use::service_tier:
                    return read_optional(x, u.service_tier, &mapper::read_text);
            }
            return false;
        });
    }

    bool image_source(const V& v, kestro::image_source& s) {
        return read_struct(v, image_source_shape, [&](img field, const V& x) {
            switch (field) {
                case img::data:
                    return read_text(x, s.data);
                case img::media_type:
                    return read_text(x, s.media_type);
                case img::type:
                    return read_text(x, s.type);
            }
            return false;
        });
    }

    bool message_content(const V& v, std::vector<content_block>& out) {
        if (v.kind() == json_kind::string) {
            out.push_back(content_block{text_block{v.take_string()}});
            return true;
        }
        if (v.kind() == json_kind::array) {
            return read_blocks(v, out);
        }
        return invalid_type(v, "string or array of content blocks");
    }

    bool read_tag(const V& v, std::size_t& tag) {
        if (v.kind() != json_kind::string) {
            return invalid_type(v, "variant identifier");
        }
        tag = static_cast<std::size_t>(std::find(block_tags.begin(), block_tags.end(), v.string()) -
                                       block_tags.begin());
        if (tag == block_tags.size()) {
            return fail(unknown_variant(v.string(), block_tags));
        }
        return true;
    }

    // The alternative at `tag`, which indexes both block_tags and the variant.
    static void emplace_variant(content_block& b, std::size_t tag) {
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            ((tag == I ? (void)b.value.template emplace<I>() : (void)0), ...);
        }
        (std::make_index_sequence<block_tags.size()>());
    }

    // Reads the tag and lays out the fields to map; mapping itself is run_block's.
    bool begin_block(const V& e, content_block& b, block_plan& plan) {
        std::size_t tag = 0;
        if (e.kind() == json_kind::object) {
            std::array<V, block_keys.size()> slot{};
            std::uint16_t seen = 0;
            e.for_each_member([&](std::string_view key, V x) {
                const std::size_t i = find_key(block_keys, block_key_index, key);
                if (i < block_keys.size()) {
                    slot[i] = x;
                    seen |= bit(i);
                }
            });
            if ((seen & bit(blk::type)) == 0) {
                return missing("type");
            }
            if (!read_tag(slot[at(blk::type)], tag)) {
                return false;
            }
            emplace_variant(b, tag);
            const variant_shape& shape = variants[tag];
            std::uint16_t own = 0;
            for (std::uint8_t k = 0; k < shape.count; ++k) {
                own |= bit(shape.fields[k]);
            }
            for (std::size_t i = 0; i < block_keys.size(); ++i) {
                if ((seen & own & bit(i)) != 0) {
                    plan.add(static_cast<blk>(i), slot[i]);
                }
            }
            for (std::uint8_t k = 0; k < shape.count; ++k) {
                const blk f = shape.fields[k];
                if ((shape.required & bit(f)) != 0 && (seen & bit(f)) == 0) {
                    plan.final_error = "missing field `" + std::string(block_keys[at(f)]) + "`";
                    break;
                }
            }
            return true;
        }
        if (e.kind() == json_kind::array) {
            std::size_t n = e.array_size();
            if (n == 0) {
                return fail("invalid length 0, expected internally tagged enum ContentBlock");
            }
            auto it = e.array_begin();
            if (!read_tag(V(*it), tag)) {
                return false;
            }
            ++it;
            emplace_variant(b, tag);
            const variant_shape& shape = variants[tag];
            std::size_t given = n - 1;
            for (std::size_t k = 0; k < shape.count && k < given; ++k, ++it) {
                plan.add(shape.fields[k], V(*it));
            }
            if (given < shape.count) {
                plan.final_error = "invalid length " + std::to_string(given) + ", expected " +
                                   std::string(shape.name) + " with " + elements(shape.count);
            } else if (given > shape.count) {
                plan.final_error = too_many_elements(given, shape.count, true);
            }
            return true;
        }
        return invalid_type(e, "internally tagged enum ContentBlock");
    }

    bool block_field(content_block& b, blk field, const V& x) {
        switch (field) {
            case blk::text:
                return read_text(x, std::get<text_block>(b.value).text);
            case blk::thinking:
                return read_text(x, std::get<thinking_block>(b.value).thinking);
            case blk::signature:
                return read_text(x, std::get<thinking_block>(b.value).signature);
            case blk::id:
                return read_text(x, std::get<tool_use_block>(b.value).id);
            case blk::name:
                return read_text(x, std::get<tool_use_block>(b.value).name);
            case blk::input:
                std::get<tool_use_block>(b.value).input = x.take_json(packer_);
                return true;
            case blk::tool_use_id:
                return read_text(x, std::get<tool_result_block>(b.value).tool_use_id);
            case blk::is_error:
                return read_optional(x, std::get<tool_result_block>(b.value).is_error,
                                     &mapper::read_bool);
            case blk::source:
                return image_source(x, std::get<image_block>(b.value).source);
            case blk::content:  // run_block's, since it may hold blocks
            case blk::type:     // read before the fields
                break;
        }
        return false;
    }

    // Maps the block's remaining fields; stops early when a tool result's content is a list,
    // which the caller reads before resuming here.
    step run_block(content_block& b, block_plan& plan, V& nested) {
        while (plan.next < plan.count) {
            const blk field = plan.field[plan.next];
            const V& x = plan.value[plan.next];
            ++plan.next;
            if (field == blk::content) {
                auto& result = std::get<tool_result_block>(b.value);
                if (x.kind() == json_kind::string) {
                    result.content = tool_result_content{x.take_string()};
                } else if (x.kind() == json_kind::array) {
                    nested = x;
                    return step::descend;
                } else {
                    invalid_type(x, "optional string or array of content blocks");
                    return step::failed;
                }
            } else if (!block_field(b, field, x)) {
                return step::failed;
            }
        }
        if (!plan.final_error.empty()) {
            fail(std::move(plan.final_error));
            return step::failed;
        }
        return step::done;
    }

    // Tool results hold lists of blocks holding tool results: an explicit stack of open lists
    // keeps the native stack flat however deep the nesting goes.
    bool read_blocks(const V& list, std::vector<content_block>& out) {
        frames_.clear();
        frames_.push_back(frame{list.array_begin(), list.array_end(), {}, false, {}, {}});
        // Every element becomes one block (or the line fails): sized once, never moved again.
        frames_.back().blocks.reserve(list.array_size());
        for (;;) {
            frame& top = frames_.back();
            if (top.it != top.end) {
                V element(*top.it);
                ++top.it;
                content_block b;
                block_plan plan;
                V nested;
                if (!begin_block(element, b, plan)) {
                    return false;
                }
                step s = run_block(b, plan, nested);
                if (s == step::failed) {
                    return false;
                }
                if (s == step::descend) {
                    frames_.push_back(frame{nested.array_begin(),
                                            nested.array_end(),
                                            {},
                                            true,
                                            std::move(b),
                                            std::move(plan)});
                    frames_.back().blocks.reserve(nested.array_size());
                } else {
                    top.blocks.push_back(std::move(b));
                }
                continue;
            }
            if (!top.has_owner) {
                out = std::move(top.blocks);
                frames_.clear();
                return true;
            }
            frame done = std::move(top);
            frames_.pop_back();
            std::get<tool_result_block>(done.owner.value).content =
                tool_result_content{std::move(done.blocks)};
            V unused;
            // The content was the only field that can hold blocks, so this runs to the end.
            if (run_block(done.owner, done.plan, unused) != step::done) {
                return false;
            }
            frames_.back().blocks.push_back(std::move(done.owner));
        }
    }

    std::string& err_;
    std::vector<frame> frames_;
    shared_text last_cwd_;
    shared_text last_session_id_;
    json_packer packer_;
};

}  // namespace

struct record_mapper::impl {
    std::string error;
    mapper<dom_view> dom{error};
    mapper<json_view> json{error};
};

record_mapper::record_mapper() : impl_(std::make_unique<impl>()) {}
record_mapper::~record_mapper() = default;

namespace {

inline result<void> outcome(bool mapped, std::string& error) {
    if (mapped) return {};
    return sdk_error::json(std::move(error));
}

}  // namespace

result<void> record_mapper::map_message(dom_view object, message_record& out) {
    return outcome(impl_->dom.message(object, out), impl_->error);
}
result<void> record_mapper::map_message(json_view object, message_record& out) {
    return outcome(impl_->json.message(object, out), impl_->error);
}
result<void> record_mapper::map_summary(dom_view object, summary_record& out) {
    return outcome(impl_->dom.summary(object, out), impl_->error);
}
result<void> record_mapper::map_summary(json_view object, summary_record& out) {
    return outcome(impl_->json.summary(object, out), impl_->error);
}

}  // namespace kestro::detail
