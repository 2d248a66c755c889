#include "exchange/download_batch.hpp"

#include "capi/api_boundary.hpp"
#include "capi/capi_compat.hpp"
#include "exchange/download_retries.hpp"
#include "capi/new_reference.hpp"
#include "exchange/pooled_session.hpp"
#include "capi/print_and_raise.hpp"
#include "exchange/result_fetch.hpp"
#include "exchange/result_names.hpp"
#include "capi/text.hpp"

#include <atomic>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace pixelmend {

namespace {

// How long the calling thread waits for news at a time: Windows delivers
// Ctrl-C to a thread blocked on a lock only when its wait ends.
constexpr double poll_seconds = 0.1;

enum class Settled : int { pending, saved, refused, raised, stopped };

// The outcome of one file, written by the one worker that took it, before
// the worker says so on the queue.
struct FileSlot {
    std::atomic<Settled> state{Settled::pending};
    py::object error_type;
    py::object error_value;
    py::object error_trace;
};

// One worker's place: the event set when it must stop waiting between tries,
// and the file it works on.
struct WorkerSeat {
    py::object stop;
    std::atomic<Py_ssize_t> index{-1};
};

constexpr Py_ssize_t no_error = std::numeric_limits<Py_ssize_t>::max();

// What the workers of one call share. It lives on the heap, owned by the
// call and by each worker's target, never on a C stack, which greenlets copy
// in and out. Everything but the atomics and the slots is set before the
// first worker starts and never changed afterwards.
struct DownloadBatch {
    DownloadBatch(const py::dict& globals_, const py::object& result_, const py::object& save_dir_, py::list filenames_,
                  const NetworkSettings& settings_, int workers_)
        : globals(globals_), result(result_), save_dir(save_dir_), filenames(std::move(filenames_)),
          count(PyList_GET_SIZE(filenames.ptr())), settings(settings_), policy(settings_.retries, globals_),
          workers(workers_), slots(std::make_unique<FileSlot[]>(static_cast<std::size_t>(count))),
          seats(std::make_unique<WorkerSeat[]>(static_cast<std::size_t>(workers_)))
    {
    }

    py::dict globals;
    py::object result;
    py::object save_dir;
    py::list filenames;
    Py_ssize_t count;
    NetworkSettings settings;
    RetryPolicy policy;
    int workers;
    py::object session;
    py::object queue;
    // The response whose body each worker reads, or None: what Ctrl-C cuts.
    py::list in_flight;
    std::unique_ptr<FileSlot[]> slots;
    std::unique_ptr<WorkerSeat[]> seats;
    std::atomic<Py_ssize_t> next_index{0};
    std::atomic<Py_ssize_t> first_error{no_error};
    std::atomic<bool> cancelled{false};
};

// A worker stops waiting, and starts nothing more, once the call is
// cancelled or a file before its own has raised.
class StopEventWait final : public RetryWait {
public:
    StopEventWait(const DownloadBatch& batch, const WorkerSeat& seat) : batch_(batch), seat_(seat) {}

    bool wait(double seconds) override
    {
        if (must_stop()) {
            return false;
        }
        seat_.stop.attr("wait")(seconds);
        return !must_stop();
    }

    bool may_start() override { return !must_stop(); }

private:
    bool must_stop() const noexcept
    {
        return batch_.cancelled.load() || seat_.index.load() > batch_.first_error.load();
    }

    const DownloadBatch& batch_;
    const WorkerSeat& seat_;
};

class InFlightWatch final : public ResponseWatch {
public:
    InFlightWatch(const DownloadBatch& batch, int seat) : batch_(batch), seat_(seat) {}

    void reading(py::handle response) override { place(response); }

    void read() noexcept override
    {
        py::error_scope keep_pending_error;
        place(Py_None);
    }

private:
    void place(py::handle item) const noexcept
    {
        Py_INCREF(item.ptr());
        if (PyList_SetItem(batch_.in_flight.ptr(), seat_, item.ptr()) < 0) {
            PyErr_Clear();
        }
    }

    const DownloadBatch& batch_;
    int seat_;
};

void keep_error(FileSlot& slot)
{
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* trace = nullptr;
    PyErr_Fetch(&type, &value, &trace);
    slot.error_type = py::reinterpret_steal<py::object>(type);
    slot.error_value = py::reinterpret_steal<py::object>(value);
    slot.error_trace = py::reinterpret_steal<py::object>(trace);
}

Settled fetch_file(DownloadBatch& batch, int seat, Py_ssize_t index)
{
    const py::handle filename = PyList_GET_ITEM(batch.filenames.ptr(), index);
    Settled settled = Settled::pending;
    PyObject* done = guarded([&] {
        if (is_refused_name(batch.save_dir, filename)) {
            settled = Settled::refused;
            return py::object(py::none());
        }
        const py::str url = result_file_url(batch.result, filename);
        StopEventWait wait(batch, batch.seats[seat]);
        InFlightWatch watch(batch, seat);
        const ResultFetch fetch{batch.globals, batch.session, batch.settings, batch.policy, wait, &watch};
        const FetchOutcome outcome = fetch_result_file(fetch, url, batch.save_dir, filename);
        settled = outcome == FetchOutcome::saved     ? Settled::saved
                  : outcome == FetchOutcome::refused ? Settled::refused
                                                     : Settled::stopped;
        return py::object(py::none());
    });
    if (done == nullptr) {
        keep_error(batch.slots[index]);
        return Settled::raised;
    }
    Py_DECREF(done);
    return settled;
}

void lower_first_error(DownloadBatch& batch, Py_ssize_t index)
{
    Py_ssize_t known = batch.first_error.load();
    while (index < known && !batch.first_error.compare_exchange_weak(known, index)) {
    }
}

// The workers on files after the one that raised stop waiting between tries.
void stop_later_workers(DownloadBatch& batch, Py_ssize_t index)
{
    for (int seat = 0; seat < batch.workers; ++seat) {
        if (batch.seats[seat].index.load() > index) {
            batch.seats[seat].stop.attr("set")();
        }
    }
}

void settle(DownloadBatch& batch, Py_ssize_t index, Settled settled)
{
    batch.slots[index].state.store(settled, std::memory_order_release);
    if (settled == Settled::raised) {
        lower_first_error(batch, index);
        stop_later_workers(batch, index);
    }
    batch.queue.attr("put")(index);
}

// Tells the calling thread that this worker is done, however it ends.
class SignOff {
public:
    explicit SignOff(DownloadBatch& batch) : batch_(batch) {}
    SignOff(const SignOff&) = delete;
    SignOff& operator=(const SignOff&) = delete;
    ~SignOff()
    {
        py::error_scope keep_pending_error;
        try {
            batch_.queue.attr("put")(py::none());
        } catch (py::error_already_set&) {
            PyErr_Clear();
        }
    }

private:
    DownloadBatch& batch_;
};

// Files are taken in the reply's order; none is taken once one has raised,
// and one taken after that (it comes later in the order) is not started.
void work(DownloadBatch& batch, int seat)
{
    const SignOff sign_off(batch);
    WorkerSeat& place = batch.seats[seat];
    while (!batch.cancelled.load() && batch.first_error.load() == no_error) {
        const Py_ssize_t index = batch.next_index.fetch_add(1);
        if (index >= batch.count) {
            break;
        }
        place.index.store(index);
        if (batch.cancelled.load() || index > batch.first_error.load()) {
            break;
        }
        settle(batch, index, fetch_file(batch, seat, index));
    }
}

constexpr const char* ticket_name = "pixelmend.main.download_worker";

struct WorkerTicket {
    std::shared_ptr<DownloadBatch> batch;
    int seat;
};

PyObject* run_worker(PyObject* capsule, PyObject*) noexcept
{
    auto* ticket = static_cast<WorkerTicket*>(PyCapsule_GetPointer(capsule, ticket_name));
    if (ticket == nullptr) {
        return nullptr;
    }
    const std::shared_ptr<DownloadBatch> batch = ticket->batch;
    const int seat = ticket->seat;
    return guarded([&] {
        work(*batch, seat);
        return py::object(py::none());
    });
}

PyMethodDef worker_def = {"download_worker", run_worker, METH_NOARGS, nullptr};

void free_ticket(PyObject* capsule) noexcept
{
    delete static_cast<WorkerTicket*>(PyCapsule_GetPointer(capsule, ticket_name));
}

// A C function whose self holds the worker's share of the batch.
py::object worker_target(const std::shared_ptr<DownloadBatch>& batch, int seat)
{
    auto ticket = std::make_unique<WorkerTicket>(WorkerTicket{batch, seat});
    auto capsule = steal_or_throw(PyCapsule_New(ticket.get(), ticket_name, free_ticket));
    ticket.release();
    return steal_or_throw(PyCFunction_New(&worker_def, capsule.ptr()));
}

void start_workers(const std::shared_ptr<DownloadBatch>& batch, const py::module_& threading, py::list& threads)
{
    for (int seat = 0; seat < batch->workers; ++seat) {
        const std::string name = "pixelmend-download-" + std::to_string(seat + 1);
        py::object thread = threading.attr("Thread")(py::arg("target") = worker_target(batch, seat),
                                                     py::arg("name") = name, py::arg("daemon") = false);
        thread.attr("start")();
        threads.append(thread);
    }
}

// The calling thread's account of the files settled so far: each saved file
// counts as it comes, and the lines are printed in the reply's order as
// soon as every file before theirs has settled, up to the first error.
class OrderedReport {
public:
    OrderedReport(const DownloadBatch& batch, ExchangeReport& report)
        : batch_(batch), report_(report), settled_(static_cast<std::size_t>(batch.count), false)
    {
    }

    void settled(Py_ssize_t index)
    {
        if (index < 0 || index >= batch_.count) {
            return;
        }
        if (state_of(index) == Settled::saved) {
            report_.downloaded();
        }
        settled_[static_cast<std::size_t>(index)] = true;
        while (error_ < 0 && next_ < batch_.count && settled_[static_cast<std::size_t>(next_)]) {
            const Settled state = state_of(next_);
            if (state == Settled::raised) {
                error_ = next_;
                break;
            }
            if (state == Settled::refused) {
                report_failed_download(report_, batch_.globals, PyList_GET_ITEM(batch_.filenames.ptr(), next_));
            }
            ++next_;
        }
    }

    // The first error in the reply's order, as the worker caught it.
    void raise_first_error() const
    {
        if (error_ >= 0) {
            const FileSlot& slot = batch_.slots[error_];
            PyErr_Restore(py::object(slot.error_type).release().ptr(), py::object(slot.error_value).release().ptr(),
                          py::object(slot.error_trace).release().ptr());
            throw py::error_already_set();
        }
        if (next_ < batch_.count) {
            raise_exception(PyExc_RuntimeError, py::str("a download thread ended before its result files were fetched"));
        }
    }

private:
    Settled state_of(Py_ssize_t index) const { return batch_.slots[index].state.load(std::memory_order_acquire); }

    const DownloadBatch& batch_;
    ExchangeReport& report_;
    std::vector<bool> settled_;
    Py_ssize_t next_ = 0;
    Py_ssize_t error_ = -1;
};

bool any_alive(const py::list& threads)
{
    for (py::handle thread : threads) {
        if (is_true(thread.attr("is_alive")())) {
            return true;
        }
    }
    return false;
}

// Reads the queue until every worker has signed off, or none is left alive
// (one that could not sign off), then takes what is left in it.
void wait_for_workers(DownloadBatch& batch, const py::list& threads, OrderedReport& ordered, const py::object& empty)
{
    Py_ssize_t running = py::len(threads);
    bool block = true;
    while (running > 0) {
        py::object message;
        try {
            message = block ? batch.queue.attr("get")(true, poll_seconds) : batch.queue.attr("get")(false);
        } catch (py::error_already_set& error) {
            if (!error.matches(empty)) {
                throw;
            }
            if (!block) {
                return;
            }
            block = any_alive(threads);
            continue;
        }
        if (message.is_none()) {
            --running;
        } else {
            ordered.settled(message.cast<Py_ssize_t>());
        }
    }
}

// Shuts the socket of a body being read, so that the read in its worker
// ends at once: urllib3 from 2.3 on does it with its response's shutdown();
// before, the connection's socket is shut, where the connection still holds
// it (a response that ends its connection holds it alone).
void sever(py::handle response)
{
    try {
        const py::object raw = py::getattr(response, "raw", py::none());
        const py::object shutdown = py::getattr(raw, "shutdown", py::none());
        if (!shutdown.is_none()) {
            shutdown();
            return;
        }
        const py::object connection = py::getattr(raw, "_connection", py::none());
        const py::object socket = py::getattr(connection, "sock", py::none());
        if (!socket.is_none()) {
            socket.attr("shutdown")(py::module_::import("socket").attr("SHUT_RDWR"));
        }
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) {
            throw;
        }
    }
}

void sever_in_flight(const DownloadBatch& batch)
{
    for (Py_ssize_t seat = 0; seat < batch.workers; ++seat) {
        auto response = py::reinterpret_steal<py::object>(PyList_GetItemRef(batch.in_flight.ptr(), seat));
        if (!response) {
            PyErr_Clear();
        } else if (!response.is_none()) {
            sever(response);
        }
    }
}

void cancel(DownloadBatch& batch)
{
    batch.cancelled.store(true);
    for (int seat = 0; seat < batch.workers; ++seat) {
        batch.seats[seat].stop.attr("set")();
    }
    sever_in_flight(batch);
}

// A response that arrives after the call was cancelled is cut in its turn.
void join_all(const DownloadBatch& batch, const py::list& threads)
{
    for (py::handle thread : threads) {
        while (is_true(thread.attr("is_alive")())) {
            thread.attr("join")(poll_seconds);
            if (batch.cancelled.load()) {
                sever_in_flight(batch);
            }
        }
    }
}

std::shared_ptr<DownloadBatch> make_batch(const py::dict& globals, const py::object& result, const py::object& save_dir,
                                          py::list filenames, const NetworkSettings& settings,
                                          const py::module_& threading)
{
    const Py_ssize_t count = PyList_GET_SIZE(filenames.ptr());
    const int workers = static_cast<int>(std::min<Py_ssize_t>(settings.downloads, count));
    auto batch = std::make_shared<DownloadBatch>(globals, result, save_dir, std::move(filenames), settings, workers);
    batch->queue = py::module_::import("queue").attr("SimpleQueue")();
    for (int seat = 0; seat < workers; ++seat) {
        batch->seats[seat].stop = threading.attr("Event")();
        batch->in_flight.append(py::none());
    }
    return batch;
}

}

void download_in_parallel(const py::dict& globals, const py::object& result, const py::object& save_dir,
                          py::handle filenames, const NetworkSettings& settings, ExchangeReport& report)
{
    auto names = steal_or_throw<py::list>(PySequence_List(filenames.ptr()));
    if (PyList_GET_SIZE(names.ptr()) == 0) {
        return;
    }
    const py::module_ threading = py::module_::import("threading");
    const py::object empty = py::module_::import("queue").attr("Empty");
    const std::shared_ptr<DownloadBatch> batch = make_batch(globals, result, save_dir, std::move(names), settings, threading);
    PooledSession pooled(globals, settings.downloads, settings.verify);
    batch->session = py::reinterpret_borrow<py::object>(pooled.session());
    py::list threads;
    OrderedReport ordered(*batch, report);
    try {
        start_workers(batch, threading, threads);
        wait_for_workers(*batch, threads, ordered, empty);
    } catch (...) {
        cancel(*batch);
        join_all(*batch, threads);
        throw;
    }
    join_all(*batch, threads);
    ordered.raise_first_error();
    pooled.close();
}

}
