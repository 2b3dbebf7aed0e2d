// Record mapping: the field tables of each record and the failure texts of the log format.
#include "parser/record_mapping.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace kestro::detail {

namespace {

using namespace std::string_view_literals;

std::string to_hex(unsigned value) {
    char buf[8];
    auto r = std::to_chars(buf, buf + sizeof buf, value, 16);
    return std::string(buf, r.ptr);
}

template <std::size_t N>
constexpr bool ascending(const std::array<std::string_view, N>& keys) {
    for (std::size_t i = 1; i < N; ++i) {
        if (!(keys[i - 1] < keys[i])) {
            return false;
        }
    }
    return true;
}

// Keys are matched through a 64-slot table: the slot of a key comes from its length and its
// first and last bytes, and one comparison confirms it. Cheaper than comparing against every
// key of a record, which most members of a line would otherwise do.
constexpr std::size_t key_slot(std::string_view key) {
    return (key.size() * 21 + static_cast<unsigned char>(key.front()) +
            static_cast<unsigned char>(key.back()) * 3) &
           63;
}

// For each slot, one more than the index of the key that lands there, or 0.
using key_index = std::array<std::uint8_t, 64>;

template <std::size_t N>
constexpr key_index index_keys(const std::array<std::string_view, N>& keys) {
    key_index index{};
    for (std::size_t i = 0; i < N; ++i) {
        index[key_slot(keys[i])] = static_cast<std::uint8_t>(i + 1);
    }
    return index;
}

template <std::size_t N>
constexpr bool slots_distinct(const std::array<std::string_view, N>& keys) {
    const key_index index = index_keys(keys);
    for (std::size_t i = 0; i < N; ++i) {
        if (index[key_slot(keys[i])] != i + 1) {
            return false;
        }
    }
    return true;
}

template <class T>
T load_bytes(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Whether n (at least 1) bytes agree. Keys are a few bytes long: word compares, the last word
// overlapping the one before, cost less than a call or a byte loop.
inline bool same_bytes(const char* a, const char* b, std::size_t n) {
    if (n >= 8) {
        for (std::size_t i = 0; i + 8 < n; i += 8) {
            if (load_bytes<std::uint64_t>(a + i) != load_bytes<std::uint64_t>(b + i)) {
                return false;
            }
        }
        return load_bytes<std::uint64_t>(a + n - 8) == load_bytes<std::uint64_t>(b + n - 8);
    }
    if (n >= 4) {
        return load_bytes<std::uint32_t>(a) == load_bytes<std::uint32_t>(b) &&
               load_bytes<std::uint32_t>(a + n - 4) == load_bytes<std::uint32_t>(b + n - 4);
    }
    return a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1];
}

// The index of `key` among `keys`, or N.
template <std::size_t N>
std::size_t find_key(const std::array<std::string_view, N>& keys, const key_index& index,
                     std::string_view key) {
    if (key.empty()) {
        return N;
    }
    const std::size_t found = index[key_slot(key)];
    if (found == 0) {
        return N;
    }
    const std::string_view known = keys[found - 1];
    if (known.size() != key.size()) {
        return N;
    }
    return same_bytes(known.data(), key.data(), key.size()) ? found - 1 : N;
}

// A nested record: its keys in ascending byte order (the order members are mapped in), the
// same keys by declaration order (the order of the array form and of missing-field checks).
template <std::size_t N>
struct struct_shape {
    std::string_view name;  // "struct TokenUsage"
    std::array<std::string_view, N> keys;
    std::array<std::uint8_t, N> declared;
    std::array<bool, N> required;
    // Arrays read inside a content block count their extra elements per sequence.
    bool inside_content;
    key_index index = index_keys(keys);
};

std::string elements(std::size_t n) {
    return std::to_string(n) + (n == 1 ? " element" : " elements");
}

std::string too_many_elements(std::size_t total, std::size_t wanted, bool inside_content) {
    if (inside_content) {
        return "invalid length " + std::to_string(total) + ", expected " + elements(wanted) +
               " in sequence";
    }
    return "invalid length " + std::to_string(total) + ", expected fewer elements in array";
}

template <std::size_t N>
std::string unknown_variant(std::string_view got, const std::array<std::string_view, N>& texts) {
    std::string out = "unknown variant `";
    out.append(got);
    out += "`, expected ";
    if constexpr (N == 2) {
        out += "`";
        out.append(texts[0]);
        out += "` or `";
        out.append(texts[1]);
        out += "`";
    } else {
        out += "one of ";
        for (std::size_t i = 0; i < N; ++i) {
            out += i == 0 ? "`" : ", `";
            out.append(texts[i]);
            out += "`";
        }
    }
    return out;
}

constexpr std::array<std::string_view, 2> user_type_texts{"external", "internal"};
constexpr std::array<std::string_view, 2> message_type_texts{"user", "assistant"};
constexpr std::array<std::string_view, 2> role_texts{"user", "assistant"};
constexpr std::array<std::string_view, 5> stop_reason_texts{"end_turn", "max_tokens",
                                                            "stop_sequence", "tool_use", "error"};

namespace rec {
enum : std::uint8_t {
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
    version
};
}
constexpr struct_shape<15> record_shape{
    "struct MessageRecord",
    {"costUSD", "cwd", "durationMs", "isMeta", "isSidechain", "message", "parentUuid", "requestId",
     "sessionId", "timestamp", "toolUseResult", "type", "userType", "uuid", "version"},
    {rec::parent_uuid, rec::is_sidechain, rec::user_type, rec::cwd, rec::session_id, rec::version,
     rec::type, rec::message, rec::cost_usd, rec::duration_ms, rec::request_id, rec::uuid,
     rec::timestamp, rec::tool_use_result, rec::is_meta},
    {false, true, false, false, true, true, false, false, true, true, false, true, true, true,
     true},
    false};

namespace pay {
enum : std::uint8_t { content, id, model, role, stop_reason, usage };
}
constexpr struct_shape<6> payload_shape{
    "struct Message",
    {"content", "id", "model", "role", "stop_reason", "usage"},
    {pay::id, pay::role, pay::model, pay::content, pay::stop_reason, pay::usage},
    {false, false, false, true, false, false},
    false};

namespace use {
enum : std::uint8_t { cache_creation, cache_read, input, output, service_tier };
}
constexpr struct_shape<5> usage_shape{
    "struct TokenUsage",
    {"cache_creation_input_tokens", "cache_read_input_tokens", "input_tokens", "output_tokens",
     "service_tier"},
    {use::input, use::cache_creation, use::cache_read, use::output, use::service_tier},
    {false, false, true, true, false},
    false};

namespace img {
enum : std::uint8_t { data, media_type, type };
}
constexpr struct_shape<3> image_source_shape{"struct ImageSource",
                                             {"data", "media_type", "type"},
                                             {img::type, img::media_type, img::data},
                                             {true, true, true},
                                             true};

namespace sum {
enum : std::uint8_t { leaf_uuid, summary, type };
}
constexpr struct_shape<3> summary_shape{"struct SummaryRecord",
                                        {"leafUuid", "summary", "type"},
                                        {sum::type, sum::summary, sum::leaf_uuid},
                                        {true, true, true},
                                        false};

// Every key any content block knows; a variant maps only its own.
namespace blk {
enum : std::uint8_t {
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
    type
};
}
constexpr std::array<std::string_view, 11> block_keys{
    "content", "id",   "input",    "is_error",    "name", "signature",
    "source",  "text", "thinking", "tool_use_id", "type"};
constexpr std::array<std::string_view, 5> block_tags{"text", "thinking", "tool_use", "tool_result",
                                                     "image"};

struct variant_shape {
    std::string_view name;
    std::array<std::uint8_t, 3> fields;  // declaration order
    std::uint8_t count;
    std::uint16_t required;  // bit per block key
};
constexpr std::uint16_t bit(std::uint8_t key) {
    return static_cast<std::uint16_t>(1U << key);
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

static_assert(ascending(record_shape.keys) && ascending(payload_shape.keys) &&
              ascending(usage_shape.keys) && ascending(image_source_shape.keys) &&
              ascending(summary_shape.keys) && ascending(block_keys));
static_assert(slots_distinct(record_shape.keys) && slots_distinct(payload_shape.keys) &&
              slots_distinct(usage_shape.keys) && slots_distinct(image_source_shape.keys) &&
              slots_distinct(summary_shape.keys) && slots_distinct(block_keys));
constexpr key_index block_key_index = index_keys(block_keys);

template <class V>
std::string found(const V& v) {
    switch (v.kind()) {
        case json_kind::null:
            return "null";
        case json_kind::boolean:
            return v.boolean() ? "boolean `true`" : "boolean `false`";
        case json_kind::uint:
            return "integer `" + std::to_string(v.uint()) + "`";
        case json_kind::sint:
            return "integer `" + std::to_string(v.sint()) + "`";
        case json_kind::real:
            return "floating point `" + format_double(v.real()) + "`";
        case json_kind::string:
            return describe_string(v.string());
        case json_kind::array:
            return "sequence";
        case json_kind::object:
            return "map";
    }
    return "null";
}

enum class step { failed, done, descend };

template <class V>
class mapper {
  public:
    explicit mapper(std::string& error) : err_(error) {}

    bool message(const V& v, message_record& r) {
        return read_struct(v, record_shape, [&](std::uint8_t field, const V& x) {
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
                default:
                    return read_text(x, r.version);
            }
        });
    }

    bool summary(const V& v, summary_record& r) {
        return read_struct(v, summary_shape, [&](std::uint8_t field, const V& x) {
            switch (field) {
                case sum::leaf_uuid:
                    return read_uuid(x, r.leaf_uuid);
                case sum::summary:
                    return read_text(x, r.summary);
                default:
                    return read_text(x, r.record_type);
            }
        });
    }

  private:
    // A content block in the making: the fields still to map (in the order they are mapped)
    // and the failure to report once they are all mapped (a missing field, a wrong length).
    struct block_plan {
        std::array<std::uint8_t, 3> field{};
        std::array<V, 3> value{};
        std::uint8_t count = 0;
        std::uint8_t next = 0;
        std::string final_error;

        void add(std::uint8_t f, const V& v) {
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
            default:
                return invalid_type(v, "f64");
        }
    }

    bool read_uuid(const V& v, kestro::uuid& out) {
        if (v.kind() != json_kind::string) {
            return invalid_type(v, "a UUID string");
        }
        auto parsed = kestro::uuid::parse(v.string());
        if (auto* why = std::get_if<std::string>(&parsed)) {
            return fail("UUID parsing failed: " + *why);
        }
        out = std::get<kestro::uuid>(parsed);
        return true;
    }

    bool read_timestamp(const V& v, date_time& out) {
        if (v.kind() != json_kind::string) {
            return invalid_type(v, "a formatted date and time string or a unix timestamp");
        }
        auto parsed = date_time::parse(v.string());
        if (auto* why = std::get_if<std::string>(&parsed)) {
            return fail(std::move(*why));
        }
        out = std::get<date_time>(parsed);
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

    template <std::size_t N, class Field>
    bool read_struct(const V& v, const struct_shape<N>& shape, Field&& field) {
        if (v.kind() == json_kind::object) {
            std::array<V, N> slot{};
            std::array<bool, N> seen{};
            v.for_each_member([&](std::string_view key, V x) {
                const std::size_t i = find_key(shape.keys, shape.index, key);
                if (i < N) {
                    slot[i] = x;
                    seen[i] = true;
                }
            });
            for (std::size_t i = 0; i < N; ++i) {
                if (seen[i] && !field(static_cast<std::uint8_t>(i), slot[i])) {
                    return false;
                }
            }
            for (std::uint8_t i : shape.declared) {
                if (shape.required[i] && !seen[i]) {
                    return missing(shape.keys[i]);
                }
            }
            return true;
        }
        if (v.kind() == json_kind::array) {
            std::size_t n = v.array_size();
            auto it = v.array_begin();
            for (std::size_t k = 0; k < N; ++k, ++it) {
                if (k >= n) {
                    std::string text = "invalid length " + std::to_string(k) + ", expected ";
                    text.append(shape.name);
                    return fail(text + " with " + elements(N));
                }
                if (!field(shape.declared[k], V(*it))) {
                    return false;
                }
            }
            if (n > N) {
                return fail(too_many_elements(n, N, shape.inside_content));
            }
            return true;
        }
        return invalid_type(v, shape.name);
    }

    bool payload(const V& v, message_payload& p) {
        return read_struct(v, payload_shape, [&](std::uint8_t field, const V& x) {
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
                default:
                    return read_optional(x, p.usage, &mapper::usage);
            }
        });
    }

    bool usage(const V& v, token_usage& u) {
        return read_struct(v, usage_shape, [&](std::uint8_t field, const V& x) {
            switch (field) {
                case use::cache_creation:
                    return read_optional(x, u.cache_creation_input_tokens, &mapper::read_u32);
                case use::cache_read:
                    return read_optional(x, u.cache_read_input_tokens, &mapper::read_u32);
                case use::input:
                    return read_u32(x, u.input_tokens);
                case use::output:
                    return read_u32(x, u.output_tokens);
                default:
                    return read_optional(x, u.service_tier, &mapper::read_text);
            }
        });
    }

    bool image_source(const V& v, kestro::image_source& s) {
        return read_struct(v, image_source_shape, [&](std::uint8_t field, const V& x) {
            switch (field) {
                case img::data:
                    return read_text(x, s.data);
                case img::media_type:
                    return read_text(x, s.media_type);
                default:
                    return read_text(x, s.type);
            }
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

    static void emplace_variant(content_block& b, std::size_t tag) {
        switch (tag) {
            case 0:
                b.value.template emplace<text_block>();
                break;
            case 1:
                b.value.template emplace<thinking_block>();
                break;
            case 2:
                b.value.template emplace<tool_use_block>();
                break;
            case 3:
                b.value.template emplace<tool_result_block>();
                break;
            default:
                b.value.template emplace<image_block>();
                break;
        }
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
                    seen |= bit(static_cast<std::uint8_t>(i));
                }
            });
            if ((seen & bit(blk::type)) == 0) {
                return missing("type");
            }
            if (!read_tag(slot[blk::type], tag)) {
                return false;
            }
            emplace_variant(b, tag);
            const variant_shape& shape = variants[tag];
            std::uint16_t own = 0;
            for (std::uint8_t k = 0; k < shape.count; ++k) {
                own |= bit(shape.fields[k]);
            }
            for (std::uint8_t i = 0; i < block_keys.size(); ++i) {
                if ((seen & own & bit(i)) != 0) {
                    plan.add(i, slot[i]);
                }
            }
            for (std::uint8_t k = 0; k < shape.count; ++k) {
                std::uint8_t f = shape.fields[k];
                if ((shape.required & bit(f)) != 0 && (seen & bit(f)) == 0) {
                    plan.final_error = "missing field `" + std::string(block_keys[f]) + "`";
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

    bool block_field(content_block& b, std::uint8_t field, const V& x) {
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
            default:
                return image_source(x, std::get<image_block>(b.value).source);
        }
    }

    // Maps the block's remaining fields; stops early when a tool result's content is a list,
    // which the caller reads before resuming here.
    step run_block(content_block& b, block_plan& plan, V& nested) {
        while (plan.next < plan.count) {
            std::uint8_t field = plan.field[plan.next];
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

std::string describe_string(std::string_view s) {
    std::string out = "string \"";
    out.reserve(s.size() + 10);
    for (std::size_t i = 0; i < s.size(); ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\0':
                out += "\\0";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    out += "\\u{" + to_hex(c) + "}";
                } else if (c == 0xC2 && i + 1 < s.size() &&
                           static_cast<unsigned char>(s[i + 1]) <= 0x9F) {
                    // U+0080..U+009F: control characters in their two-byte form.
                    out += "\\u{" + to_hex(static_cast<unsigned char>(s[i + 1])) + "}";
                    ++i;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
    return out;
}

std::string format_double(double d) {
    // The shortest round-trip digits, laid out without exponent: fixed notation of to_chars
    // would print a large value's exact integer part instead (18446744073709551616 for 2^64,
    // where the shortest digits give 18446744073709552000).
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
    std::string_view text(buf, static_cast<std::size_t>(r.ptr - buf));
    std::string out;
    if (text.front() == '-') {
        out += '-';
        text.remove_prefix(1);
    }
    std::size_t e = text.find('e');
    std::string digits;
    for (char c : text.substr(0, e)) {
        if (c != '.') {
            digits += c;
        }
    }
    int exponent = 0;
    std::string_view exp_text = text.substr(e + 1);
    if (exp_text.front() == '+') {
        exp_text.remove_prefix(1);
    }
    std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
    if (exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out += digits;
    } else if (static_cast<std::size_t>(exponent) + 1 >= digits.size()) {
        out += digits;
        out.append(static_cast<std::size_t>(exponent) + 1 - digits.size(), '0');
        out += ".0";
    } else {
        out += digits.substr(0, static_cast<std::size_t>(exponent) + 1);
        out += '.';
        out += digits.substr(static_cast<std::size_t>(exponent) + 1);
    }
    return out;
}

struct record_mapper::impl {
    std::string error;
    mapper<dom_view> dom{error};
    mapper<json_view> json{error};
};

record_mapper::record_mapper() : impl_(std::make_unique<impl>()) {}
record_mapper::~record_mapper() = default;

const std::string& record_mapper::error() const {
    return impl_->error;
}

bool record_mapper::map_message(dom_view object, message_record& out) {
    return impl_->dom.message(object, out);
}
bool record_mapper::map_message(json_view object, message_record& out) {
    return impl_->json.message(object, out);
}
bool record_mapper::map_summary(dom_view object, summary_record& out) {
    return impl_->dom.summary(object, out);
}
bool record_mapper::map_summary(json_view object, summary_record& out) {
    return impl_->json.summary(object, out);
}

}  // namespace kestro::detail
