#include "exchange/result_fetch.hpp"

#include "capi/module_globals.hpp"
#include "exchange/result_file.hpp"
#include "capi/text.hpp"

#include <optional>
#include <string>

namespace pixelmend {

namespace {

py::object get_function(const ResultFetch& fetch)
{
    return fetch.session ? fetch.session.attr("get") : lookup_global(fetch.globals, "requests").attr("get");
}

// The GET of one try: today's arguments, and a Range header only when the
// body is resumed from `offset`.
py::object try_get(const ResultFetch& fetch, const py::str& url, std::uint64_t offset)
{
    const py::object get = get_function(fetch);
    if (offset == 0) {
        return get(url, py::arg("stream") = true, py::arg("verify") = fetch.settings.verify, **fetch.settings.timeout);
    }
    py::dict headers;
    headers["Range"] = py::str("bytes=" + std::to_string(offset) + "-");
    return get(url, py::arg("stream") = true, py::arg("verify") = fetch.settings.verify, py::arg("headers") = headers,
               **fetch.settings.timeout);
}

// A response we are done with gives its connection back to the pool, or
// drops it when its body was not read.
void close_response(const py::object& response)
{
    const py::object close = py::getattr(response, "close", py::none());
    if (!close.is_none()) {
        close();
    }
}

class WatchedRead {
public:
    WatchedRead(ResponseWatch* watch, py::handle response) : watch_(watch)
    {
        if (watch_ != nullptr) {
            watch_->reading(response);
        }
    }
    WatchedRead(const WatchedRead&) = delete;
    WatchedRead& operator=(const WatchedRead&) = delete;
    ~WatchedRead()
    {
        if (watch_ != nullptr) {
            watch_->read();
        }
    }

private:
    ResponseWatch* watch_;
};

enum class NextStep { try_again, give_up, stop };

// The tries of one file, and the generator of their random waits.
class Tries {
public:
    explicit Tries(const ResultFetch& fetch) : fetch_(fetch) {}

    int made() const noexcept { return made_; }
    void start() noexcept { ++made_; }

    NextStep after(std::optional<double> seconds)
    {
        if (!fetch_.policy.may_retry(made_)) {
            return NextStep::give_up;
        }
        return fetch_.wait.wait(seconds ? *seconds : backoff()) ? NextStep::try_again : NextStep::stop;
    }

private:
    double backoff()
    {
        if (!generator_) {
            generator_.emplace(std::random_device{}());
        }
        return backoff_seconds(made_ - 1, *generator_);
    }

    const ResultFetch& fetch_;
    int made_ = 0;
    std::optional<std::mt19937_64> generator_;
};

// What a status other than 200 leads to: the one waited for after a 206 to
// a Range request is the body to resume; any other is retried only when it
// is transient and its Retry-After, if any, is short enough.
enum class StatusVerdict { body, start_over, refused, retry, retry_from_start };

StatusVerdict judge_status(const py::object& response, const py::object& status, std::uint64_t offset,
                           std::optional<double>& retry_after)
{
    if (equals(status, py::int_(200))) {
        return offset == 0 ? StatusVerdict::body : StatusVerdict::start_over;
    }
    if (offset > 0 && equals(status, py::int_(206))) {
        return content_range_starts_at(response, offset) ? StatusVerdict::body : StatusVerdict::retry_from_start;
    }
    if (!is_transient_status(status)) {
        return StatusVerdict::refused;
    }
    retry_after = retry_after_seconds(response);
    return retry_after && *retry_after > longest_retry_after ? StatusVerdict::refused : StatusVerdict::retry;
}

py::object file_path_of(const ResultFetch& fetch, const py::object& save_dir, py::handle filename)
{
    return lookup_global(fetch.globals, "os").attr("path").attr("join")(save_dir, filename);
}

void write_body(const ResultFetch& fetch, const py::object& response, ResultFile& file)
{
    const WatchedRead watched(fetch.watch, response);
    for (py::handle chunk : response.attr("iter_content")(py::arg("chunk_size") = 8192)) {
        if (is_true(chunk)) {
            file.write(chunk);
        }
    }
}

}

FetchOutcome fetch_result_file(const ResultFetch& fetch, const py::str& url, const py::object& save_dir,
                               py::handle filename)
{
    std::optional<ResultFile> file;
    Tries tries(fetch);
    for (;;) {
        const std::uint64_t offset = file ? file->size() : 0;
        if (!fetch.wait.may_start()) {
            return FetchOutcome::stopped;
        }
        tries.start();
        py::object response;
        try {
            response = try_get(fetch, url, offset);
        } catch (py::error_already_set& error) {
            const NextStep next = fetch.policy.is_transient(error) ? tries.after(std::nullopt) : NextStep::give_up;
            if (next == NextStep::give_up) {
                throw;
            }
            if (next == NextStep::stop) {
                return FetchOutcome::stopped;
            }
            continue;
        }
        std::optional<double> retry_after;
        const StatusVerdict verdict = judge_status(response, response.attr("status_code"), offset, retry_after);
        if (verdict == StatusVerdict::refused) {
            close_response(response);
            return FetchOutcome::refused;
        }
        if (verdict == StatusVerdict::retry || verdict == StatusVerdict::retry_from_start) {
            // A part from elsewhere in the body is of no use: the next try
            // starts from the first byte.
            if (verdict == StatusVerdict::retry_from_start) {
                file->restart();
            }
            close_response(response);
            const NextStep next = tries.after(retry_after);
            if (next == NextStep::give_up) {
                return FetchOutcome::refused;
            }
            if (next == NextStep::stop) {
                return FetchOutcome::stopped;
            }
            continue;
        }
        if (verdict == StatusVerdict::start_over) {
            file->restart();
        }
        if (!file) {
            file.emplace(save_dir, file_path_of(fetch, save_dir, filename));
        }
        try {
            write_body(fetch, response, *file);
        } catch (py::error_already_set& error) {
            if (!fetch.policy.is_transient(error)) {
                throw;
            }
            close_response(response);
            const NextStep next = tries.after(std::nullopt);
            if (next == NextStep::give_up) {
                throw;
            }
            if (next == NextStep::stop) {
                return FetchOutcome::stopped;
            }
            continue;
        }
        close_response(response);
        file->commit();
        return FetchOutcome::saved;
    }
}

bool SleepingWait::wait(double seconds)
{
    py::module_::import("time").attr("sleep")(seconds);
    return true;
}

}
