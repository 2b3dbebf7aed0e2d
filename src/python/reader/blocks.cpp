// The content block classes of _reader. Each views one block inside a message's packed
// content; a block of a type without a class of its own is a Block with its raw JSON:
//
//     TextBlock.text   ToolUseBlock.id/.name/.input   ToolResultBlock.tool_use_id/.content
//     ThinkingBlock.thinking/.signature   ImageBlock.source_type/.media_type/.data
//     Block.type/.raw (every class has .type and .raw)
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "python/reader/objects.hpp"

namespace kestro::py::reader {
namespace {

using view = packed_json::view;

std::optional<std::string_view> text_at(const block_obj& o, std::string_view key) {
    return find_text(o.item, {key});
}

std::string_view text_or_empty(const block_obj& o, std::string_view key) {
    return text_at(o, key).value_or(std::string_view());
}

ref json_at(const block_obj& o, std::string_view key) {
    auto at = find_member(o.item, key);
    if (!at) return ref::borrow(Py_None);
    return ref::steal(json_to_py(*at));
}

// A string content stands for one text block: it is its own text.
std::string_view Block_type(const block_obj& o) {
    if (o.item.kind() == packed_json::kind::string) return "text";
    return text_or_empty(o, "type");
}
ref Block_raw(const block_obj& o) {
    if (o.item.kind() == packed_json::kind::string) {
        ref raw = ref::steal(PyDict_New());
        ref type = ref::steal(to_py("text"));
        ref text = ref::steal(to_py(o.item.string()));
        if (!raw || !type || !text || PyDict_SetItemString(raw.get(), "text", text.get()) < 0 ||
            PyDict_SetItemString(raw.get(), "type", type.get()) < 0) {
            return ref();
        }
        return raw;
    }
    return ref::steal(json_to_py(o.item));
}

std::string_view TextBlock_text(const block_obj& o) {
    if (o.item.kind() == packed_json::kind::string) return o.item.string();
    return text_or_empty(o, "text");
}
std::string_view ThinkingBlock_thinking(const block_obj& o) {
    return text_or_empty(o, "thinking");
}
std::optional<std::string_view> ThinkingBlock_signature(const block_obj& o) {
    return text_at(o, "signature");
}
std::string_view ToolUseBlock_id(const block_obj& o) {
    return text_or_empty(o, "id");
}
std::string_view ToolUseBlock_name(const block_obj& o) {
    return text_or_empty(o, "name");
}
ref ToolUseBlock_input(const block_obj& o) {
    return json_at(o, "input");
}
std::string_view ToolResultBlock_tool_use_id(const block_obj& o) {
    return text_or_empty(o, "tool_use_id");
}
// A string, a list of blocks (of any type), or None.
ref ToolResultBlock_content(const block_obj& o) {
    auto content = find_member(o.item, "content");
    if (!content || content->kind() == packed_json::kind::null) return ref::borrow(Py_None);
    if (content->kind() == packed_json::kind::string) return ref::steal(to_py(content->string()));
    return ref::steal(make_blocks(o.owner, *content));
}
std::string ToolResultBlock_text(const block_obj& o) {
    auto content = find_member(o.item, "content");
    if (!content) return {};
    return content_text(*content);
}
std::optional<bool> ToolResultBlock_is_error(const block_obj& o) {
    auto at = find_member(o.item, "is_error");
    if (!at || at->kind() != packed_json::kind::boolean) return std::nullopt;
    return at->boolean();
}
std::optional<std::string_view> ImageBlock_source_type(const block_obj& o) {
    return find_text(o.item, {"source", "type"});
}
std::optional<std::string_view> ImageBlock_media_type(const block_obj& o) {
    return find_text(o.item, {"source", "media_type"});
}
std::optional<std::string_view> ImageBlock_data(const block_obj& o) {
    return find_text(o.item, {"source", "data"});
}

#define KESTRO_READER_FIELD(cls, name) \
    { #name, field < block_obj, cls##_##name>, nullptr, nullptr, nullptr }
#define KESTRO_BLOCK_COMMON KESTRO_READER_FIELD(Block, type), KESTRO_READER_FIELD(Block, raw)

PyGetSetDef Block_getset[] = {KESTRO_BLOCK_COMMON, {}};
PyGetSetDef TextBlock_getset[] = {KESTRO_BLOCK_COMMON, KESTRO_READER_FIELD(TextBlock, text), {}};
PyGetSetDef ThinkingBlock_getset[] = {
    KESTRO_BLOCK_COMMON,
    KESTRO_READER_FIELD(ThinkingBlock, thinking),
    KESTRO_READER_FIELD(ThinkingBlock, signature),
    {},
};
PyGetSetDef ToolUseBlock_getset[] = {
    KESTRO_BLOCK_COMMON,
    KESTRO_READER_FIELD(ToolUseBlock, id),
    KESTRO_READER_FIELD(ToolUseBlock, name),
    KESTRO_READER_FIELD(ToolUseBlock, input),
    {},
};
PyGetSetDef ToolResultBlock_getset[] = {
    KESTRO_BLOCK_COMMON,
    KESTRO_READER_FIELD(ToolResultBlock, tool_use_id),
    KESTRO_READER_FIELD(ToolResultBlock, content),
    KESTRO_READER_FIELD(ToolResultBlock, text),
    KESTRO_READER_FIELD(ToolResultBlock, is_error),
    {},
};
PyGetSetDef ImageBlock_getset[] = {
    KESTRO_BLOCK_COMMON,
    KESTRO_READER_FIELD(ImageBlock, source_type),
    KESTRO_READER_FIELD(ImageBlock, media_type),
    KESTRO_READER_FIELD(ImageBlock, data),
    {},
};

// <TextBlock type='text'>, <Block type='tool_reference'>, ...
PyObject* Block_repr(PyObject* self) {
    ref name = ref::steal(PyType_GetName(Py_TYPE(self)));
    if (!name) return nullptr;
    const auto& o = cast<block_obj>(self);
    std::string type(Block_type(o));
    return PyUnicode_FromFormat("<%U type='%s'>", name.get(), type.c_str());
}

}  // namespace

#define KESTRO_BLOCK_SPEC(cls)                                                      \
    PyType_Slot cls##_slots[] = {                                                   \
        {Py_tp_getset, cls##_getset},                                               \
        {Py_tp_repr, slot(unary_entry<Block_repr>)},                                \
        {Py_tp_new, slot(refuse_new)},                                              \
        {Py_tp_traverse, slot(traverse_type)},                                      \
        {Py_tp_dealloc, slot(destroy<block_obj>)},                                  \
        {0, nullptr},                                                               \
    };                                                                              \
    PyType_Spec cls##_spec {                                                        \
        "kestro_sdk._reader." #cls, sizeof(block_obj), 0, k_type_flags, cls##_slots \
    }

namespace {
KESTRO_BLOCK_SPEC(TextBlock);
KESTRO_BLOCK_SPEC(ThinkingBlock);
KESTRO_BLOCK_SPEC(ToolUseBlock);
KESTRO_BLOCK_SPEC(ToolResultBlock);
KESTRO_BLOCK_SPEC(ImageBlock);
KESTRO_BLOCK_SPEC(Block);

struct typed_block {
    std::string_view type;
    class_id id;
};
constexpr std::array<typed_block, 5> k_typed_blocks{{
    {"text", class_id::text_block},
    {"thinking", class_id::thinking_block},
    {"tool_use", class_id::tool_use_block},
    {"tool_result", class_id::tool_result_block},
    {"image", class_id::image_block},
}};

}  // namespace

const PyType_Spec* block_spec(class_id id) {
    switch (id) {
        case class_id::text_block:
            return &TextBlock_spec;
        case class_id::thinking_block:
            return &ThinkingBlock_spec;
        case class_id::tool_use_block:
            return &ToolUseBlock_spec;
        case class_id::tool_result_block:
            return &ToolResultBlock_spec;
        case class_id::image_block:
            return &ImageBlock_spec;
        case class_id::block:
            return &Block_spec;
        default:
            return nullptr;
    }
}

PyObject* make_block(const std::shared_ptr<const transcript>& owner, packed_json::view block) {
    class_id id = class_id::block;
    if (block.kind() == packed_json::kind::string) {
        id = class_id::text_block;
    } else if (auto type = find_text(block, {"type"})) {
        for (const typed_block& t : k_typed_blocks) {
            if (t.type == *type) id = t.id;
        }
    }
    return make(id, owner, block);
}

PyObject* make_blocks(const std::shared_ptr<const transcript>& owner, packed_json::view content) {
    if (content.kind() != packed_json::kind::array) {
        ref list = ref::steal(PyList_New(content.kind() == packed_json::kind::string ? 1 : 0));
        if (list && content.kind() == packed_json::kind::string) {
            PyObject* item = make_block(owner, content);
            if (item == nullptr) return nullptr;
            PyList_SetItem(list.get(), 0, item);
        }
        return list.release();
    }
    ref list = ref::steal(PyList_New(static_cast<Py_ssize_t>(content.size())));
    if (!list) return nullptr;
    view block = content.first_child();
    for (std::size_t i = 0; i < content.size(); ++i, block = block.next_sibling()) {
        PyObject* item = make_block(owner, block);
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

std::string content_text(packed_json::view content) {
    if (content.kind() == packed_json::kind::string) return std::string(content.string());
    std::string text;
    if (content.kind() != packed_json::kind::array) return text;
    bool first = true;
    view block = content.first_child();
    for (std::size_t i = 0; i < content.size(); ++i, block = block.next_sibling()) {
        if (find_text(block, {"type"}) != "text") continue;
        auto part = find_text(block, {"text"});
        if (!part) continue;
        if (!first) text += '\n';
        text.append(*part);
        first = false;
    }
    return text;
}

void tool_names(packed_json::view content, std::vector<std::string_view>& out) {
    if (content.kind() != packed_json::kind::array) return;
    view block = content.first_child();
    for (std::size_t i = 0; i < content.size(); ++i, block = block.next_sibling()) {
        if (find_text(block, {"type"}) != "tool_use") continue;
        if (auto name = find_text(block, {"name"})) out.push_back(*name);
    }
}

}  // namespace kestro::py::reader
