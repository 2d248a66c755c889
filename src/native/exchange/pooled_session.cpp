#include "exchange/pooled_session.hpp"

#include "capi/module_globals.hpp"

namespace pixelmend {

namespace {

// Hosts whose pools the adapter keeps, requests' own default: result files
// are fetched from one host or very few.
constexpr int pooled_hosts = 10;

// The context urllib3 makes for each connection when given none, minus the
// certificate store it then loads into it: certificates are not checked, and
// requests' verify=False sets CERT_NONE on the context all the same.
py::object unverified_tls_context()
{
    const py::object none_required = py::module_::import("ssl").attr("CERT_NONE");
    return py::module_::import("urllib3.util.ssl_").attr("create_urllib3_context")(py::arg("cert_reqs") = none_required);
}

py::object pooled_adapter(const py::object& requests, int connections, const py::object& verify)
{
    py::object adapter = requests.attr("adapters").attr("HTTPAdapter")(py::arg("pool_connections") = pooled_hosts,
                                                                       py::arg("pool_maxsize") = connections);
    if (verify.ptr() == Py_False) {
        adapter.attr("init_poolmanager")(pooled_hosts, connections, py::arg("ssl_context") = unverified_tls_context());
    }
    return adapter;
}

}

PooledSession::PooledSession(const py::dict& globals, int connections, const py::object& verify)
{
    const py::object requests = lookup_global(globals, "requests");
    session_ = requests.attr("Session")();
    try {
        const py::object adapter = pooled_adapter(requests, connections, verify);
        session_.attr("mount")("https://", adapter);
        session_.attr("mount")("http://", adapter);
    } catch (py::error_already_set&) {
        try {
            close();
        } catch (py::error_already_set& also) {
            also.discard_as_unraisable("closing the download session of pixelmend.main");
        }
        throw;
    }
}

PooledSession::~PooledSession()
{
    if (!session_) {
        return;
    }
    py::error_scope keep_pending_error;
    try {
        close();
    } catch (py::error_already_set& error) {
        error.discard_as_unraisable("closing the download session of pixelmend.main");
    }
}

void PooledSession::close()
{
    const py::object session = std::move(session_);
    session.attr("close")();
}

}
