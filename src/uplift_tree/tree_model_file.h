// Writing a tree into the model file and reading it back.
#pragma once

#include "model_file/json_reader.h"
#include "model_file/json_writer.h"
#include "uplift_tree/tree.h"

namespace corvane {

void write_tree(model_file::JsonWriter& out, const UpliftTreeModel& tree);

// Reads one tree object (or array of its values); unreached (default) nodes
// are only counted, not stored.
UpliftTreeModel read_tree(model_file::JsonReader& in);

}  // namespace corvane
