// Local server for the chat benchmark: answers POST /v1/chat/completions with a fixed whole
// answer, or (when the body asks for a stream) with a fixed stream of N chunks and "[DONE]".
// Usage: chat_server PORT CHUNKS   (PORT 0 picks a free port; the port is printed on stdout)
#include <httplib.h>

#include <cstdio>
#include <string>

namespace {

std::string whole_answer() {
    std::string content;
    for (int i = 0; i < 100; ++i) content += "word" + std::to_string(i) + " ";
    return R"({"id":"chatcmpl-bench","object":"chat.completion","created":1700000000,"model":"bench-model",)"
           R"("choices":[{"index":0,"message":{"role":"assistant","content":")" +
           content +
           R"("},"finish_reason":"stop"}],"usage":{"prompt_tokens":12,"completion_tokens":100,"total_tokens":112},)"
           R"("rerank_tier":"classic","quantum_enhanced":false})";
}

std::string stream_body(int chunks) {
    std::string body;
    for (int i = 0; i < chunks; ++i) {
        body += R"(data: {"id":"chatcmpl-bench","object":"chat.completion.chunk","created":1700000000,)"
                R"("model":"bench-model","choices":[{"index":0,"delta":{"content":"tok)" +
                std::to_string(i) + R"( "},"finish_reason":)" + (i + 1 == chunks ? "\"stop\"" : "null") + "}]}\n\n";
    }
    body += "data: [DONE]\n\n";
    return body;
}

}  // namespace

int main(int argc, char** argv) {
    int port = argc > 1 ? std::atoi(argv[1]) : 0;
    int chunks = argc > 2 ? std::atoi(argv[2]) : 10000;
    const std::string whole = whole_answer();
    const std::string stream = stream_body(chunks);

    httplib::Server server;
    server.set_tcp_nodelay(true);  // head and body are written separately: no Nagle delay
    server.Post("/v1/chat/completions", [&](const httplib::Request& request, httplib::Response& response) {
        bool streamed = request.body.find("\"stream\":true") != std::string::npos ||
                        request.body.find("\"stream\": true") != std::string::npos;
        if (!streamed) {
            response.set_content(whole, "application/json");
            return;
        }
        // Sent in pieces as a real server would, with the chunked transfer coding.
        response.set_chunked_content_provider("text/event-stream", [&](size_t offset, httplib::DataSink& sink) {
            constexpr size_t kPiece = 16384;
            if (offset >= stream.size()) {
                sink.done();
                return true;
            }
            size_t size = std::min(kPiece, stream.size() - offset);
            return sink.write(stream.data() + offset, size);
        });
    });
    if (port == 0)
        port = server.bind_to_any_port("127.0.0.1");
    else if (!server.bind_to_port("127.0.0.1", port))
        return 1;
    std::printf("%d\n", port);
    std::fflush(stdout);
    server.listen_after_bind();
}
