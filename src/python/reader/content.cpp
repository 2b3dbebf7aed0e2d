// A message's content as block objects, and the two things read from it without making any:
// its text and the names of the tools it calls.
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "python/reader/objects.hpp"

namespace kestro::py::reader {
namespace {

using view = packed_json::view;

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
