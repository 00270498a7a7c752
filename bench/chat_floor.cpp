// The floor of the chat benchmark: the same requests in plain C++ (libcurl, simdjson), each
// answer parsed into C++ structs. Usage:
//   chat_floor whole URL CALLS    -> prints microseconds per call
//   chat_floor stream URL ROUNDS  -> prints chunks per second of each round, then the chunk count
//   chat_floor parse URL ROUNDS   -> the stream fetched once, then only split and parsed from
//                                    memory: chunks per second of each round, then the count
#include <curl/curl.h>
#include <simdjson.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Message {
    std::string role, content;
};
struct Choice {
    int64_t index = 0;
    Message message;
    std::string finish_reason;
};
struct Completion {
    std::string id, object, model, rerank_tier;
    int64_t created = 0;
    std::vector<Choice> choices;
    int64_t prompt_tokens = 0, completion_tokens = 0, total_tokens = 0;
};
struct ChunkChoice {
    int64_t index = 0;
    std::string content, finish_reason;
};
struct Chunk {
    std::string id, object, model;
    int64_t created = 0;
    std::vector<ChunkChoice> choices;
};

std::string text(simdjson::dom::element e) {
    std::string_view v;
    return e.get(v) == simdjson::SUCCESS ? std::string(v) : std::string();
}

Completion parse_completion(simdjson::dom::parser& parser, const std::string& body) {
    simdjson::dom::element root = parser.parse(body);
    Completion c;
    c.id = text(root["id"]);
    c.object = text(root["object"]);
    c.model = text(root["model"]);
    c.created = int64_t(root["created"]);
    c.rerank_tier = text(root["rerank_tier"]);
    for (simdjson::dom::element choice : root["choices"].get_array()) {
        Choice ch;
        ch.index = int64_t(choice["index"]);
        ch.message.role = text(choice["message"]["role"]);
        ch.message.content = text(choice["message"]["content"]);
        ch.finish_reason = text(choice["finish_reason"]);
        c.choices.push_back(std::move(ch));
    }
    simdjson::dom::element usage = root["usage"];
    c.prompt_tokens = int64_t(usage["prompt_tokens"]);
    c.completion_tokens = int64_t(usage["completion_tokens"]);
    c.total_tokens = int64_t(usage["total_tokens"]);
    return c;
}

// Splits the body into lines as it arrives and turns each data line into a Chunk.
struct StreamReader {
    simdjson::dom::parser parser;
    std::string pending;
    size_t chunks = 0;
    size_t checksum = 0;
    bool done = false;

    void line(std::string_view l) {
        if (done || !l.starts_with("data: ")) return;
        std::string_view data = l.substr(6);
        if (data == "[DONE]") {
            done = true;
            return;
        }
        simdjson::dom::element root;
        if (parser.parse(data.data(), data.size()).get(root) != simdjson::SUCCESS) return;
        Chunk chunk;
        chunk.id = text(root["id"]);
        chunk.object = text(root["object"]);
        chunk.model = text(root["model"]);
        chunk.created = int64_t(root["created"]);
        for (simdjson::dom::element choice : root["choices"].get_array()) {
            ChunkChoice c;
            c.index = int64_t(choice["index"]);
            c.content = text(choice["delta"]["content"]);
            c.finish_reason = text(choice["finish_reason"]);
            chunk.choices.push_back(std::move(c));
        }
        checksum += chunk.choices.size() + chunk.id.size();
        ++chunks;
    }

    void feed(const char* data, size_t size) {
        pending.append(data, size);
        size_t start = 0;
        for (;;) {
            size_t end = pending.find('\n', start);
            if (end == std::string::npos) break;
            std::string_view l(pending.data() + start, end - start);
            if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
            line(l);
            start = end + 1;
        }
        pending.erase(0, start);
    }
};

size_t collect(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

size_t stream_to(char* data, size_t size, size_t count, void* reader) {
    static_cast<StreamReader*>(reader)->feed(data, size * count);
    return size * count;
}

struct Curl {
    CURL* handle = curl_easy_init();
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    ~Curl() {
        curl_slist_free_all(headers);
        curl_easy_cleanup(handle);
    }
    void post(const std::string& url, const std::string& body) {
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE, long(body.size()));
    }
};

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return 2;
    std::string mode = argv[1], url = std::string(argv[2]) + "/v1/chat/completions";
    int count = std::atoi(argv[3]);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    Curl curl;
    const std::string request =
        R"({"model":"bench-model","messages":[{"role":"user","content":"Hello"}],"temperature":0.7,)" +
        std::string(mode != "whole" ? R"("stream":true,"n":1})" : R"("stream":false,"n":1})");
    curl.post(url, request);
    if (mode == "whole") {
        simdjson::dom::parser parser;
        std::string body;
        curl_easy_setopt(curl.handle, CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(curl.handle, CURLOPT_WRITEDATA, &body);
        size_t checksum = 0;
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < count; ++i) {
            body.clear();
            if (curl_easy_perform(curl.handle) != CURLE_OK) return 1;
            checksum += parse_completion(parser, body).choices.size();
        }
        std::printf("%.3f %zu\n", seconds_since(start) / count * 1e6, checksum);
    } else if (mode == "parse") {
        // Prints the rate of each round (chunks per second), then the chunk count.
        std::string body;
        curl_easy_setopt(curl.handle, CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(curl.handle, CURLOPT_WRITEDATA, &body);
        if (curl_easy_perform(curl.handle) != CURLE_OK) return 1;
        size_t chunks = 0;
        for (int round = 0; round < count; ++round) {
            StreamReader reader;
            auto start = std::chrono::steady_clock::now();
            for (size_t at = 0; at < body.size(); at += 16384) {
                reader.feed(body.data() + at, std::min<size_t>(16384, body.size() - at));
            }
            std::printf("%.0f ", reader.chunks / seconds_since(start));
            chunks = reader.chunks;
        }
        std::printf("%zu\n", chunks);
    } else {
        // Prints the rate of each round (chunks per second), then the chunk count.
        size_t chunks = 0;
        for (int round = 0; round < count; ++round) {
            StreamReader reader;
            curl_easy_setopt(curl.handle, CURLOPT_WRITEFUNCTION, stream_to);
            curl_easy_setopt(curl.handle, CURLOPT_WRITEDATA, &reader);
            auto start = std::chrono::steady_clock::now();
            if (curl_easy_perform(curl.handle) != CURLE_OK) return 1;
            std::printf("%.0f ", reader.chunks / seconds_since(start));
            chunks = reader.chunks;
        }
        std::printf("%zu\n", chunks);
    }
    curl_global_cleanup();
}
