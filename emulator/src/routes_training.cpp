// Training jobs: create, list, get, cancel, logs and metrics.
#include "ids.hpp"
#include "job_progress.hpp"
#include "routes.hpp"

namespace korvane::emulator {
namespace {

Json optional_time(const std::optional<Micros>& t) { return t ? Json(iso_utc(*t)) : Json(nullptr); }
Json optional_text(const std::optional<std::string>& v) { return v ? Json(*v) : Json(nullptr); }

Json job_json(const TrainingJob& job, const JobSnapshot& snap) {
    return Json{{"id", job.id},
                {"tenant_id", job.tenant_id},
                {"status", snap.status},
                {"training_type", job.training_type},
                {"base_model", job.base_model},
                {"config", job.config},
                {"progress", snap.progress},
                {"current_step", snap.current_step},
                {"total_steps", snap.total_steps},
                {"current_epoch", snap.current_epoch},
                {"total_epochs", snap.total_epochs},
                {"metrics", snap.metrics},
                {"created_at", iso_utc(job.created_at)},
                {"started_at", optional_time(snap.started_at)},
                {"completed_at", optional_time(snap.completed_at)},
                {"output_model_id", optional_text(snap.output_model_id)},
                {"error_message", optional_text(snap.error_message)},
                {"dataset_id", optional_text(job.dataset_id)},
                {"num_gpus", job.num_gpus},
                {"priority", job.priority},
                {"cancelled_at", optional_time(job.cancelled_at)},
                {"cancel_reason", optional_text(job.cancel_reason)}};
}

Json job_json(const TrainingJob& job) { return job_json(job, job_snapshot(job, job_elapsed_seconds(job))); }

TrainingJob& find_job(const RequestContext& ctx, Store& store) {
    ctx.require_scope_exists(store);
    const std::string& id = ctx.param("job_id");
    TrainingJob* job = store.jobs.find(id);
    if (job == nullptr || !ctx.sees(job->tenant_id)) throw not_found("Training job", id);
    return *job;
}

void create_job(RequestContext& ctx, Services& services) {
    Json body = ctx.json_body();
    BodyFields f(body);
    TrainingJob job;
    job.training_type = f.req_string("training_type");
    if (job.training_type != "sft" && job.training_type != "dpo" && job.training_type != "lora") {
        throw validation_error("'training_type' must be one of 'sft', 'dpo', 'lora'");
    }
    job.base_model = f.opt_string("base_model").value_or("meta-llama/Llama-3.1-8B-Instruct");
    job.dataset_id = f.opt_string("dataset_id");
    job.config = f.opt_object("config").value_or(Json::object());
    job.num_gpus = f.opt_int("num_gpus").value_or(8);
    if (job.num_gpus < 1 || job.num_gpus > 64) throw validation_error("'num_gpus' must be from 1 to 64");
    job.priority = f.opt_string("priority").value_or("normal");

    auto lock = services.store.lock();
    ctx.require_scope_exists(services.store);
    if (job.dataset_id) {
        const Dataset* dataset = services.store.datasets.find(*job.dataset_id);
        if (dataset == nullptr || !ctx.sees(dataset->tenant_id)) throw not_found("Dataset", *job.dataset_id);
    }
    job.id = new_id("ftjob_", 16);
    job.tenant_id = ctx.owner();
    job.created_at = now_micros();
    job.created_clock = std::chrono::steady_clock::now();
    job.duration_seconds = services.options.job_seconds;
    ctx.send(201, job_json(services.store.jobs.insert(std::move(job))));
}

void list_jobs(RequestContext& ctx, Services& services) {
    Page page = Page::from(ctx);
    auto status = ctx.query("status");
    auto training_type = ctx.query("training_type");
    auto lock = services.store.lock();
    ctx.require_scope_exists(services.store);
    Json items = Json::array();
    std::int64_t index = 0;
    services.store.jobs.for_each([&](const TrainingJob& job) {
        if (!ctx.sees(job.tenant_id)) return;
        if (training_type && !training_type->empty() && job.training_type != *training_type) return;
        JobSnapshot snap = job_snapshot(job, job_elapsed_seconds(job));
        if (status && !status->empty() && snap.status != *status) return;
        if (page.takes(index)) items.push_back(job_json(job, snap));
        ++index;
    });
    ctx.send(200, list_answer("jobs", std::move(items), index, page));
}

void get_job(RequestContext& ctx, Services& services) {
    auto lock = services.store.lock();
    ctx.send(200, job_json(find_job(ctx, services.store)));
}

void cancel_job(RequestContext& ctx, Services& services) {
    Json body = ctx.json_body();
    auto reason = BodyFields(body).opt_string("reason");
    auto lock = services.store.lock();
    TrainingJob& job = find_job(ctx, services.store);
    double elapsed = job_elapsed_seconds(job);
    std::string status = job_snapshot(job, elapsed).status;
    if (status != "pending" && status != "running") {
        throw ApiError(409, "Training job '" + job.id + "' cannot be cancelled: it is " + status,
                       "JOB_NOT_CANCELLABLE");
    }
    job.cancelled_after_seconds = elapsed;
    job.cancelled_at = now_micros();
    if (reason && !reason->empty()) job.cancel_reason = *reason;
    ctx.send(200, job_json(job));
}

void job_logs(RequestContext& ctx, Services& services) {
    auto tail = ctx.query_int("tail", 100, 0, 1000000);
    auto lock = services.store.lock();
    const TrainingJob& job = find_job(ctx, services.store);
    auto lines = job_log_lines(job, job_snapshot(job, job_elapsed_seconds(job)));
    std::size_t first = lines.size() > static_cast<std::size_t>(tail) ? lines.size() - static_cast<std::size_t>(tail)
                                                                      : 0;
    std::string text;
    for (std::size_t i = first; i < lines.size(); ++i) {
        if (i > first) text.push_back('\n');
        text += lines[i];
    }
    ctx.send(200, Json{{"job_id", job.id}, {"logs", text}, {"lines", lines.size() - first}});
}

void job_metrics(RequestContext& ctx, Services& services) {
    auto lock = services.store.lock();
    const TrainingJob& job = find_job(ctx, services.store);
    ctx.send(200, job_metrics_answer(job, job_snapshot(job, job_elapsed_seconds(job))));
}

}  // namespace

void add_training_routes(Router& router, Services& services) {
    router.add_scoped("GET", "training/jobs", bound(services, list_jobs));
    router.add_scoped("POST", "training/jobs", bound(services, create_job));
    router.add_scoped("GET", "training/jobs/:job_id", bound(services, get_job));
    router.add_scoped("POST", "training/jobs/:job_id/cancel", bound(services, cancel_job));
    router.add_scoped("GET", "training/jobs/:job_id/logs", bound(services, job_logs));
    router.add_scoped("GET", "training/jobs/:job_id/metrics", bound(services, job_metrics));
}

}  // namespace korvane::emulator
