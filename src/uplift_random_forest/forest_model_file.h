// The model file: the forest written as one JSON text, saved and loaded.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "model_file/file_io.h"
#include "model_file/json_reader.h"
#include "model_file/json_writer.h"
#include "model_file/output_sink.h"
#include "uplift_random_forest/forest.h"

namespace corvane {

// Writes members of its own after the forest's, before the object closes.
using ExtraMembers = std::function<void(model_file::JsonWriter&)>;
// Reads a member that is no field of the forest's, with the cursor at its
// value; returns false (reading nothing) to have it skipped.
using UnknownMember = std::function<bool(model_file::JsonReader&, const std::string& key)>;

// The whole model file text, into `sink` (which the caller flushes).
void write_forest(model_file::OutputSink& sink, const UpliftRandomForestModel& forest,
                  const ExtraMembers& extra = {});

// Writes the model file at `path`; an existing file is only ever replaced by
// a complete new one (model_file::write_file).
void save_model_file(const UpliftRandomForestModel& forest, const std::string& path,
                     const model_file::OnInterrupt& on_interrupt = {},
                     const ExtraMembers& extra = {});

// Parses a whole model file text into a new forest; a fault of the text
// throws model_file::JsonReadError.
UpliftRandomForestModel parse_forest(std::string_view text, const UnknownMember& unknown = {});

// The same, stopping with the rendered fault.
UpliftRandomForestModel forest_from_json(std::string_view text, const UnknownMember& unknown = {});

// Reads the model file at `path` into a complete new forest.
UpliftRandomForestModel load_model_file(const std::string& path,
                                        const model_file::OnInterrupt& on_interrupt = {});

}  // namespace corvane
