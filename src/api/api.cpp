// Binds the API layer: the namespaces first (chat/, admin/), then the client core that builds them.
#include "api/admin/admin.hpp"
#include "api/chat/chat.hpp"
#include "api/client/client.hpp"
#include "api/engine/engine.hpp"
#include "api/engine/stream_call.hpp"
#include "bindings.hpp"

namespace korvane::api {

void bind(nb::module_& m) {
    engine::bind_stream_call(m);  // before chat/, whose streams make its objects
    bind_chat(m);
    bind_operations(m);
    bind_tenants(m);
    bind_feedback(m);
    bind_training(m);
    bind_client(m);
    bind_aio(m);
    engine::bind_engine(m);
}

}  // namespace korvane::api
