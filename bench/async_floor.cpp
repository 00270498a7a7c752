// The floor of the concurrent benchmarks: libcurl's multi interface on one thread driving N
// transfers at once, each "data: " line parsed with simdjson's on-demand API into a struct of
// string views and numbers, with no allocation per chunk once the buffers have grown. Usage:
//   async_floor stream URL N ROUNDS   -> one line per round: chunks, wall seconds, CPU seconds
//   async_floor whole URL N ROUNDS    -> one line per round: calls, wall seconds, CPU seconds
// URL is the base (".../v1/chat/completions" is appended). The same N handles are reused in every
// round, so later rounds reuse the connections of the first.
#include <curl/curl.h>
#include <simdjson.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

namespace od = simdjson::ondemand;

struct ChunkView {
    std::string_view id, object, model, content, finish_reason;
    int64_t created = 0, index = 0;
};

struct CompletionView {
    std::string_view id, model, role, content, finish_reason;
    int64_t created = 0, total_tokens = 0;
};

// One parser for the whole program: the transfers are driven from one thread.
od::parser g_parser;
size_t g_checksum = 0;

// The value when the JSON has it in that type, else the type's empty value.
template <typename T, typename Result>
void take(Result&& result, T& out) {
    if (std::forward<Result>(result).get(out) != simdjson::SUCCESS) out = T{};
}

template <typename Field>
std::string_view key_of(Field& field) {
    std::string_view key;
    if (field.unescaped_key().get(key) != simdjson::SUCCESS) return {};
    return key;
}

std::string_view text(od::value value) {
    std::string_view out;
    if (value.type() == od::json_type::string) take(value.get_string(), out);
    return out;
}

bool read_chunk(simdjson::padded_string_view json, ChunkView& out) {
    od::document doc;
    if (g_parser.iterate(json).get(doc) != simdjson::SUCCESS) return false;
    od::object root;
    if (doc.get_object().get(root) != simdjson::SUCCESS) return false;
    for (auto field : root) {
        std::string_view key;
        if (field.unescaped_key().get(key) != simdjson::SUCCESS) return false;
        od::value value = field.value();
        if (key == "id")
            out.id = text(value);
        else if (key == "object")
            out.object = text(value);
        else if (key == "model")
            out.model = text(value);
        else if (key == "created")
            take(value.get_int64(), out.created);
        else if (key == "choices") {
            for (auto choice : value.get_array()) {
                for (auto member : choice.get_object()) {
                    std::string_view name = key_of(member);
                    od::value inner = member.value();
                    if (name == "index")
                        take(inner.get_int64(), out.index);
                    else if (name == "finish_reason")
                        out.finish_reason = text(inner);
                    else if (name == "delta") {
                        for (auto part : inner.get_object()) {
                            std::string_view part_name = key_of(part);
                            if (part_name == "content") out.content = text(part.value());
                        }
                    }
                }
            }
        }
    }
    return true;
}

bool read_completion(simdjson::padded_string_view json, CompletionView& out) {
    od::document doc;
    if (g_parser.iterate(json).get(doc) != simdjson::SUCCESS) return false;
    od::object root;
    if (doc.get_object().get(root) != simdjson::SUCCESS) return false;
    for (auto field : root) {
        std::string_view key;
        if (field.unescaped_key().get(key) != simdjson::SUCCESS) return false;
        od::value value = field.value();
        if (key == "id")
            out.id = text(value);
        else if (key == "model")
            out.model = text(value);
        else if (key == "created")
            take(value.get_int64(), out.created);
        else if (key == "usage") {
            for (auto member : value.get_object()) {
                std::string_view name = key_of(member);
                if (name == "total_tokens") take(member.value().get_int64(), out.total_tokens);
            }
        } else if (key == "choices") {
            for (auto choice : value.get_array()) {
                for (auto member : choice.get_object()) {
                    std::string_view name = key_of(member);
                    od::value inner = member.value();
                    if (name == "finish_reason")
                        out.finish_reason = text(inner);
                    else if (name == "message") {
                        for (auto part : inner.get_object()) {
                            std::string_view part_name = key_of(part);
                            if (part_name == "role")
                                out.role = text(part.value());
                            else if (part_name == "content")
                                out.content = text(part.value());
                        }
                    }
                }
            }
        }
    }
    return true;
}

// One transfer: the bytes not yet split into lines, and a padded copy of the line being parsed.
struct Transfer {
    CURL* easy = curl_easy_init();
    std::string pending;
    std::string line;  // capacity kept; simdjson reads up to SIMDJSON_PADDING past the end
    size_t chunks = 0;
    bool whole = false;

    void on_line(std::string_view l) {
        if (!l.starts_with("data: ")) return;
        std::string_view data = l.substr(6);
        if (data == "[DONE]") return;
        line.assign(data);
        line.reserve(data.size() + simdjson::SIMDJSON_PADDING);
        ChunkView chunk;
        if (read_chunk(simdjson::padded_string_view(line.data(), line.size(), line.capacity()), chunk)) {
            g_checksum += chunk.content.size() + static_cast<size_t>(chunk.index);
            ++chunks;
        }
    }

    void feed(const char* data, size_t size) {
        if (whole) {
            pending.append(data, size);
            return;
        }
        size_t start = 0;
        std::string_view incoming(data, size);
        while (start < size) {
            size_t end = incoming.find('\n', start);
            if (end == std::string_view::npos) {
                pending.append(data + start, size - start);
                return;
            }
            std::string_view piece = incoming.substr(start, end - start);
            if (!pending.empty()) {
                pending.append(piece);
                piece = pending;
            }
            if (!piece.empty() && piece.back() == '\r') piece.remove_suffix(1);
            on_line(piece);
            pending.clear();
            start = end + 1;
        }
    }

    void finish_whole() {
        pending.reserve(pending.size() + simdjson::SIMDJSON_PADDING);
        CompletionView completion;
        if (read_completion(simdjson::padded_string_view(pending.data(), pending.size(), pending.capacity()),
                            completion)) {
            g_checksum += completion.content.size();
            ++chunks;
        }
        pending.clear();
    }
};

size_t receive(char* data, size_t size, size_t count, void* transfer) {
    static_cast<Transfer*>(transfer)->feed(data, size * count);
    return size * count;
}

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: async_floor stream|whole URL N ROUNDS\n");
        return 2;
    }
    const std::string mode = argv[1];
    const std::string url = std::string(argv[2]) + "/v1/chat/completions";
    const int n = std::atoi(argv[3]), rounds = std::atoi(argv[4]);
    const bool whole = mode == "whole";
    const std::string request =
        R"({"model":"bench-model","messages":[{"role":"user","content":"Hello"}],"temperature":0.7,)" +
        std::string(whole ? R"("stream":false,"n":1})" : R"("stream":true,"n":1})");
    curl_global_init(CURL_GLOBAL_DEFAULT);
    CURLM* multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, static_cast<long>(n));
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    std::vector<Transfer> transfers(static_cast<size_t>(n));
    for (Transfer& t : transfers) {
        t.whole = whole;
        curl_easy_setopt(t.easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(t.easy, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(t.easy, CURLOPT_POSTFIELDS, request.c_str());
        curl_easy_setopt(t.easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(request.size()));
        curl_easy_setopt(t.easy, CURLOPT_WRITEFUNCTION, receive);
        curl_easy_setopt(t.easy, CURLOPT_WRITEDATA, &t);
        curl_easy_setopt(t.easy, CURLOPT_PRIVATE, &t);
    }
    for (int round = 0; round < rounds; ++round) {
        size_t before = 0;
        for (Transfer& t : transfers) before += t.chunks;
        const auto start = std::chrono::steady_clock::now();
        const double cpu_start = cpu_seconds();
        for (Transfer& t : transfers) curl_multi_add_handle(multi, t.easy);
        int running = n;
        while (running > 0) {
            if (curl_multi_perform(multi, &running) != CURLM_OK) return 1;
            int left = 0;
            while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
                if (message->msg != CURLMSG_DONE) continue;
                if (message->data.result != CURLE_OK) {
                    std::fprintf(stderr, "transfer failed: %s\n", curl_easy_strerror(message->data.result));
                    return 1;
                }
                Transfer* t = nullptr;
                curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &t);
                if (t->whole) t->finish_whole();
                curl_multi_remove_handle(multi, message->easy_handle);
            }
            if (running > 0 && curl_multi_poll(multi, nullptr, 0, 1000, nullptr) != CURLM_OK) return 1;
        }
        size_t after = 0;
        for (Transfer& t : transfers) after += t.chunks;
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("%zu %.6f %.6f\n", after - before, wall, cpu_seconds() - cpu_start);
        std::fflush(stdout);
    }
    for (Transfer& t : transfers) curl_easy_cleanup(t.easy);
    curl_slist_free_all(headers);
    curl_multi_cleanup(multi);
    curl_global_cleanup();
    return g_checksum == 0 ? 1 : 0;
}
