// Simulated training: a job's status, progress, metrics and logs as a pure
// function of the time elapsed since it was created.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "clock.hpp"
#include "json_util.hpp"
#include "store.hpp"

namespace korvane::emulator {

struct JobSnapshot {
    std::string status;  // pending, running, completed, failed, cancelled
    double progress = 0.0;
    std::int64_t current_step = 0;
    std::int64_t total_steps = 0;
    std::int64_t current_epoch = 0;
    std::int64_t total_epochs = 0;
    std::optional<Micros> started_at;
    std::optional<Micros> completed_at;
    std::optional<std::string> output_model_id;
    std::optional<std::string> error_message;
    Json metrics = Json::object();
};

// Seconds since creation by the monotonic clock (frozen for cancelled jobs).
double job_elapsed_seconds(const TrainingJob& job);

// The first fifth of the duration is spent pending, the rest running; a job
// whose config holds "emulator_fail_at" (a progress from 0 to 1) fails there.
JobSnapshot job_snapshot(const TrainingJob& job, double elapsed_seconds);

std::string output_model_for(const TrainingJob& job);

// Log lines so far, oldest first.
std::vector<std::string> job_log_lines(const TrainingJob& job, const JobSnapshot& snapshot);

// The metrics answer: current values plus a short history of sampled steps.
Json job_metrics_answer(const TrainingJob& job, const JobSnapshot& snapshot);

}  // namespace korvane::emulator
