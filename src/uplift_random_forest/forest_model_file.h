// The model file: the forest written as one JSON text, saved and loaded.
#pragma once

#include <string>
#include <string_view>

#include "model_file/file_io.h"
#include "model_file/output_sink.h"
#include "uplift_random_forest/forest.h"

namespace corvane {

// The whole model file text, into `sink` (which the caller flushes).
void write_forest(model_file::OutputSink& sink, const UpliftRandomForestModel& forest);

// Writes the model file at `path`; an existing file is only ever replaced by
// a complete new one (model_file::write_file).
void save_model_file(const UpliftRandomForestModel& forest, const std::string& path,
                     const model_file::OnInterrupt& on_interrupt = {});

// Parses a whole model file text into a new forest.
UpliftRandomForestModel forest_from_json(std::string_view text);

// Reads the model file at `path` into a complete new forest.
UpliftRandomForestModel load_model_file(const std::string& path,
                                        const model_file::OnInterrupt& on_interrupt = {});

}  // namespace corvane
