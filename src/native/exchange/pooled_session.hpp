#pragma once

#include <pybind11/pybind11.h>

namespace pixelmend {

namespace py = pybind11;

// The one requests.Session over which a call fetches its result files
// several at a time, made from the module's `requests` (so a stand-in that
// routes requests still routes it). Its pool keeps `connections` connections
// alive to each host. With verification off its connections share one TLS
// context that has no certificate store, instead of loading the system's
// whole store for each one. Closed when this goes, on every path.
class PooledSession {
public:
    PooledSession(const py::dict& globals, int connections, const py::object& verify);
    PooledSession(const PooledSession&) = delete;
    PooledSession& operator=(const PooledSession&) = delete;
    ~PooledSession();

    py::handle session() const noexcept { return session_; }
    // Closes the session, its error raised; the destructor only reports one.
    void close();

private:
    py::object session_;
};

}
