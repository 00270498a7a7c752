// Training simulation: timeline, loss and learning-rate curves, logs.
#include "job_progress.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace korvane::emulator {
namespace {

constexpr double pending_share = 0.2;
constexpr int history_points = 20;

struct Curve {
    double loss_start;
    double loss_end;
    double learning_rate;
};

Curve curve_for(const std::string& training_type) {
    if (training_type == "dpo") return {0.693, 0.21, 5e-7};
    if (training_type == "lora") return {2.4, 0.55, 2e-4};
    return {2.2, 0.45, 2e-5};
}

std::int64_t config_int(const Json& config, const char* key, std::int64_t fallback, std::int64_t lo, std::int64_t hi) {
    auto it = config.find(key);
    if (it == config.end()) return fallback;
    auto value = json_integer(*it);
    return value && *value >= lo && *value <= hi ? *value : fallback;
}

double config_number(const Json& config, const char* key, double fallback, double lo, double hi) {
    auto it = config.find(key);
    if (it == config.end() || !it->is_number()) return fallback;
    double value = it->get<double>();
    return std::isfinite(value) && value >= lo && value <= hi ? value : fallback;
}

std::int64_t total_epochs_of(const TrainingJob& job) {
    auto epochs = config_int(job.config, "num_epochs", -1, 1, 1000);
    return epochs > 0 ? epochs : config_int(job.config, "epochs", 3, 1, 1000);
}

std::int64_t steps_per_epoch_of(const TrainingJob& job) {
    return config_int(job.config, "steps_per_epoch", 100, 1, 1000000);
}

double rounded(double value, double scale) { return std::round(value * scale) / scale; }

double loss_at(const TrainingJob& job, double progress) {
    Curve c = curve_for(job.training_type);
    return rounded(c.loss_end + (c.loss_start - c.loss_end) * std::exp(-4.0 * progress), 1e6);
}

double learning_rate_at(const TrainingJob& job, double progress) {
    double base = config_number(job.config, "learning_rate", curve_for(job.training_type).learning_rate, 1e-12, 10.0);
    double rate = base * (1.0 - 0.9 * progress);  // linear decay to a tenth
    // Six significant digits, so answers read 1.82e-05 rather than 1.8200000000000002e-05.
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", rate);
    return std::strtod(buf, nullptr);
}

// Wall time at which the job reached `progress`.
Micros time_at_progress(const TrainingJob& job, double progress) {
    double seconds = job.duration_seconds * (pending_share + (1.0 - pending_share) * progress);
    return job.created_at + static_cast<Micros>(seconds * 1e6);
}

std::string formatted(const char* fmt, auto... args) {
    char buf[512];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

}  // namespace

double job_elapsed_seconds(const TrainingJob& job) {
    if (job.cancelled_after_seconds) return *job.cancelled_after_seconds;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - job.created_clock).count();
}

std::string output_model_for(const TrainingJob& job) { return "korvane-ft-" + job.id; }

JobSnapshot job_snapshot(const TrainingJob& job, double elapsed) {
    JobSnapshot snap;
    snap.total_epochs = total_epochs_of(job);
    std::int64_t per_epoch = steps_per_epoch_of(job);
    snap.total_steps = snap.total_epochs * per_epoch;

    double duration = job.duration_seconds;
    double pending_until = duration * pending_share;
    double progress = 1.0;
    if (duration > 0 && elapsed < duration) {
        progress = elapsed <= pending_until ? 0.0 : (elapsed - pending_until) / (duration - pending_until);
    }
    bool started = duration <= 0 || elapsed >= pending_until;
    double fail_at = config_number(job.config, "emulator_fail_at", -1.0, 0.0, 1.0);
    bool failed = started && fail_at >= 0 && progress >= fail_at;
    if (failed) progress = fail_at;
    progress = std::clamp(progress, 0.0, 1.0);

    if (failed) {
        snap.status = "failed";
    } else if (job.cancelled_after_seconds) {
        snap.status = "cancelled";
    } else if (!started) {
        snap.status = "pending";
    } else if (progress >= 1.0) {
        snap.status = "completed";
    } else {
        snap.status = "running";
    }

    snap.progress = rounded(progress, 1e6);
    if (!started) return snap;

    snap.started_at = job.created_at + static_cast<Micros>(pending_until * 1e6);
    snap.current_step = std::min<std::int64_t>(snap.total_steps, static_cast<std::int64_t>(
                                                                     progress * static_cast<double>(snap.total_steps)));
    snap.current_epoch = snap.status == "completed" ? snap.total_epochs
                                                    : std::min(snap.total_epochs, snap.current_step / per_epoch + 1);
    snap.metrics = Json{{"loss", loss_at(job, progress)},
                        {"learning_rate", learning_rate_at(job, progress)},
                        {"epoch", rounded(progress * static_cast<double>(snap.total_epochs), 1e4)},
                        {"step", snap.current_step},
                        {"grad_norm", rounded(0.4 + 1.2 * std::exp(-3.0 * progress), 1e6)},
                        {"tokens_per_second", 2400 * job.num_gpus}};
    if (snap.status == "completed") {
        snap.completed_at = job.created_at + static_cast<Micros>(duration * 1e6);
        snap.output_model_id = output_model_for(job);
        snap.metrics["eval_loss"] = rounded(loss_at(job, 1.0) * 1.05, 1e6);
    } else if (snap.status == "failed") {
        snap.completed_at = time_at_progress(job, progress);
        snap.error_message = "Emulated failure: loss became NaN at step " + std::to_string(snap.current_step);
    }
    return snap;
}

std::vector<std::string> job_log_lines(const TrainingJob& job, const JobSnapshot& snap) {
    std::vector<std::string> lines;
    lines.push_back(iso_utc(job.created_at) + " INFO Job " + job.id + " created: " + job.training_type +
                    " fine-tuning of " + job.base_model + " on " + std::to_string(job.num_gpus) + " GPUs (priority " +
                    job.priority + ")");
    lines.push_back(iso_utc(job.created_at) + " INFO " +
                    (job.dataset_id ? "Dataset: " + *job.dataset_id
                                    : std::string("No dataset given: training examples come from collected feedback")));
    if (snap.started_at) {
        lines.push_back(iso_utc(*snap.started_at) + " INFO Job started");
        for (int k = 1; k <= history_points; ++k) {
            double p = static_cast<double>(k) / history_points;
            if (p > snap.progress + 1e-9) break;
            auto step = static_cast<std::int64_t>(p * static_cast<double>(snap.total_steps));
            auto epoch = std::min(snap.total_epochs,
                                  step * snap.total_epochs / std::max<std::int64_t>(1, snap.total_steps) + 1);
            if (k == history_points) epoch = snap.total_epochs;
            lines.push_back(iso_utc(time_at_progress(job, p)) +
                            formatted(" INFO epoch %lld/%lld step %lld/%lld loss=%.4f lr=%.3e",
                                      static_cast<long long>(epoch), static_cast<long long>(snap.total_epochs),
                                      static_cast<long long>(step), static_cast<long long>(snap.total_steps),
                                      loss_at(job, p), learning_rate_at(job, p)));
        }
    }
    if (snap.status == "completed") {
        lines.push_back(iso_utc(*snap.completed_at) + " INFO Training completed: model " + *snap.output_model_id);
    } else if (snap.status == "failed") {
        lines.push_back(iso_utc(*snap.completed_at) + " ERROR " + *snap.error_message);
    } else if (snap.status == "cancelled") {
        lines.push_back(iso_utc(job.cancelled_at.value_or(job.created_at)) +
                        " WARN Job cancelled: " + job.cancel_reason.value_or("no reason given"));
    }
    return lines;
}

Json job_metrics_answer(const TrainingJob& job, const JobSnapshot& snap) {
    Json history = Json::array();
    if (snap.started_at) {
        for (int k = 1; k <= history_points; ++k) {
            double p = static_cast<double>(k) / history_points;
            if (p > snap.progress + 1e-9) break;
            history.push_back(Json{{"step", static_cast<std::int64_t>(p * static_cast<double>(snap.total_steps))},
                                   {"loss", loss_at(job, p)},
                                   {"learning_rate", learning_rate_at(job, p)}});
        }
    }
    return Json{{"job_id", job.id},
                {"status", snap.status},
                {"progress", snap.progress},
                {"current_step", snap.current_step},
                {"total_steps", snap.total_steps},
                {"metrics", snap.metrics},
                {"history", std::move(history)}};
}

}  // namespace korvane::emulator
