// The module's classes: their instance layouts, their descriptions (one file per class), and how
// the module functions and other classes make instances.
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "analysis/tool_executions.hpp"
#include "python/types.hpp"
#include "session/session.hpp"

namespace kestro::py {

using message_obj = view_object<message_record>;
using session_obj = view_object<session>;
using block_obj = view_object<content_block>;
using usage_obj = view_object<token_usage>;
using metadata_obj = view_object<session_metadata>;
using result_obj = view_object<tool_result>;
using execution_obj = view_object<tool_execution>;
using stats_obj = view_object<conversation_stats>;
using node_obj = view_object<conversation_node>;
using tree_obj = view_object<conversation_tree>;

// The descriptions; types.cpp maps each class_id to its own.
extern PyType_Spec Message_spec;
extern PyType_Spec Session_spec;
extern PyType_Spec Project_spec;
extern PyType_Spec SessionMetadata_spec;
extern PyType_Spec ToolResult_spec;
extern PyType_Spec ToolExecution_spec;
extern PyType_Spec ConversationStats_spec;
extern PyType_Spec ConversationNode_spec;
extern PyType_Spec ConversationTree_spec;
extern PyType_Spec TextBlock_spec;
extern PyType_Spec ToolUseBlock_spec;
extern PyType_Spec ThinkingBlock_spec;
extern PyType_Spec ImageBlock_spec;
extern PyType_Spec ToolResultBlock_spec;
extern PyType_Spec TokenUsage_spec;
extern PyType_Spec MessageIterator_spec;

// Each returns a new reference, or nullptr with an exception set.

// A Session object sharing `s`.
PyObject* make_session(const std::shared_ptr<const session>& s);

// A Project over the sessions (in the given order): totals computed now, one list of Session
// objects kept.
PyObject* make_project(std::string name,
                       const std::vector<std::shared_ptr<const session>>& sessions);

// A Message viewing `record` of `owner`.
PyObject* make_message(const std::shared_ptr<const session>& owner, const message_record* record);

// A MessageIterator over the records of `owner`, from the first.
PyObject* make_iterator(const std::shared_ptr<const session>& owner);

// The block object of the class that matches the block's kind.
PyObject* make_content_block(const std::shared_ptr<const session>& owner,
                             const content_block* block);

// The tree nodes at `indices` of the session's tree, as a list of new node objects.
PyObject* node_list(const std::shared_ptr<const session>& owner,
                    std::span<const std::size_t> indices);

// A tool's result counts as a success when it is neither an error nor interrupted.
inline bool is_success(const tool_result& r) {
    return !r.is_error && !r.interrupted;
}

// How the reprs show a boolean.
inline const char* bool_text(bool value) {
    return value ? "true" : "false";
}

}  // namespace kestro::py
