// The process-wide type slots and the roles every class shares.
#include "python/types.hpp"

#include <array>
#include <string>

#include "python/classes.hpp"
#include "python/ref.hpp"

namespace kestro::py {
namespace {

// Filled once each and kept for the life of the process; the module never tears down.
std::array<PyTypeObject*, k_class_count> g_types{};
bool g_initialised = false;

// No default: a class without its description fails to compile (-Wswitch, an error in CI).
PyType_Spec* spec_of(class_id id) {
    switch (id) {
        case class_id::message:
            return &Message_spec;
        case class_id::session:
            return &Session_spec;
        case class_id::project:
            return &Project_spec;
        case class_id::session_metadata:
            return &SessionMetadata_spec;
        case class_id::tool_result:
            return &ToolResult_spec;
        case class_id::tool_execution:
            return &ToolExecution_spec;
        case class_id::conversation_stats:
            return &ConversationStats_spec;
        case class_id::conversation_node:
            return &ConversationNode_spec;
        case class_id::conversation_tree:
            return &ConversationTree_spec;
        case class_id::text_block:
            return &TextBlock_spec;
        case class_id::tool_use_block:
            return &ToolUseBlock_spec;
        case class_id::thinking_block:
            return &ThinkingBlock_spec;
        case class_id::image_block:
            return &ImageBlock_spec;
        case class_id::tool_result_block:
            return &ToolResultBlock_spec;
        case class_id::token_usage:
            return &TokenUsage_spec;
        case class_id::message_iterator:
            return &MessageIterator_spec;
    }
    return nullptr;
}

}  // namespace

void mark_initialised() {
    g_initialised = true;
}

PyTypeObject* type_object(class_id id) {
    const auto index = static_cast<std::size_t>(id);
    if (g_types[index] != nullptr) return g_types[index];
    PyType_Spec* spec = spec_of(id);
    if (spec == nullptr) {
        raise_panic("no description for a class of the module");
        return nullptr;
    }
    PyObject* created = PyType_FromSpec(spec);
    if (created == nullptr) {
        if (g_initialised) {
            // A class first used after import: its own error is reported, the call faults.
            PyErr_Print();
            const std::string name = std::string(short_class_name(id));
            raise_panic("failed to create type object for " + name);
        }
        return nullptr;
    }
    g_types[index] = reinterpret_cast<PyTypeObject*>(created);
    return g_types[index];
}

}  // namespace kestro::py
