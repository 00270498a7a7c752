// The dataset operations of TrainingManager.
#pragma once
#include <nanobind/nanobind.h>

namespace korvane::api {

// Adds create_dataset, list_datasets, get_dataset, delete_dataset, upload_dataset and
// generate_from_feedback to the TrainingManager class.
void add_dataset_methods(nanobind::handle training_manager);

}  // namespace korvane::api
