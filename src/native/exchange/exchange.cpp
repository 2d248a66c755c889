#include "exchange/exchange.hpp"

#include "capi/capi_compat.hpp"
#include "exchange/download_batch.hpp"
#include "exchange/download_retries.hpp"
#include "exchange/exchange_report.hpp"
#include "capi/module_globals.hpp"
#include "capi/native_path.hpp"
#include "exchange/network_settings.hpp"
#include "capi/new_reference.hpp"
#include "platform/platform.hpp"
#include "capi/print_and_raise.hpp"
#include "exchange/result_fetch.hpp"
#include "exchange/result_file.hpp"
#include "exchange/result_names.hpp"
#include "capi/text.hpp"
#include "exchange/upload_names.hpp"
#include "exchange/url_segment.hpp"

namespace pixelmend {

namespace {

// The readers that the image path helper puts into the field list open their
// file on first read; closing them when the operation ends matters when an
// exception's traceback keeps the encoder, and with it the fields, alive.
// Only readers of the helper module's own type are ours to close: the list
// came from a function anybody may rebind, and may hold look-alikes.
class UploadReaders {
public:
    UploadReaders(py::handle reader_type, py::object fields)
        : reader_type_(reinterpret_cast<PyTypeObject*>(reader_type.ptr())), fields_(std::move(fields))
    {
    }
    UploadReaders(const UploadReaders&) = delete;
    UploadReaders& operator=(const UploadReaders&) = delete;

    ~UploadReaders()
    {
        py::error_scope keep_pending_error;
        if (reader_type_ == nullptr || !PyList_Check(fields_.ptr())) {
            return;
        }
        // Whoever else holds the list may change it meanwhile: each entry is
        // taken with a reference of our own, and the length asked anew.
        for (Py_ssize_t i = 0; i < PyList_Size(fields_.ptr()); ++i) {
            auto entry = py::reinterpret_steal<py::object>(PyList_GetItemRef(fields_.ptr(), i));
            if (!entry) {
                PyErr_Clear();
                break;
            }
            close_reader(entry.ptr());
        }
    }

private:
    void close_reader(PyObject* entry) const
    {
        PyObject* file_tuple = file_tuple_of(entry);
        PyObject* file = file_tuple == nullptr ? nullptr : PyTuple_GET_ITEM(file_tuple, 1);
        if (file == nullptr || Py_TYPE(file) != reader_type_) {
            return;
        }
        PyObject* closed = PyObject_CallMethod(file, "close", nullptr);
        Py_XDECREF(closed);
        PyErr_Clear();
    }

    PyTypeObject* reader_type_;
    py::object fields_;
};

py::object call_helper(const MainState& state, const py::dict& globals, const Upload& upload)
{
    PyObject* arguments[] = {upload.fields.ptr(), upload.image_path.ptr(), upload.to_compare.ptr()};
    const py::object helper = upload.to_compare ? lookup_global(globals, state.names.handle_image_path_id)
                                                : lookup_global(globals, state.names.handle_image_path);
    return steal_or_throw(PyObject_Vectorcall(helper.ptr(), arguments, upload.to_compare ? 3 : 2, nullptr));
}

// Calls __exit__ the way a with statement does when its body raised: the
// error counts as the one being handled, so sys.exc_info() inside __exit__
// shows it and an error raised by __exit__ gets it as its __context__.
py::object exit_with_error(const py::object& exit, const py::object& manager, const py::error_already_set& error)
{
    py::object trace = error.trace() ? error.trace() : py::none();
    PyObject* saved_type;
    PyObject* saved_value;
    PyObject* saved_trace;
    PyErr_GetExcInfo(&saved_type, &saved_value, &saved_trace);
    PyErr_SetExcInfo(error.type().inc_ref().ptr(), error.value().inc_ref().ptr(), trace.inc_ref().ptr());
    PyObject* result = PyObject_CallFunctionObjArgs(exit.ptr(), manager.ptr(), error.type().ptr(),
                                                    error.value().ptr(), trace.ptr(), nullptr);
    PyErr_SetExcInfo(saved_type, saved_value, saved_trace);
    return steal_or_throw(result);
}

[[noreturn]] void raise_unbound_response()
{
#if PY_VERSION_HEX >= 0x030B0000
    PyErr_SetString(PyExc_UnboundLocalError,
                    "cannot access local variable 'response' where it is not associated with a value");
#else
    PyErr_SetString(PyExc_UnboundLocalError, "local variable 'response' referenced before assignment");
#endif
    throw py::error_already_set();
}

py::object make_encoder(const py::dict& globals, const py::object& fields)
{
    try {
        return lookup_global(globals, "MultipartEncoder")(py::arg("fields") = fields);
    } catch (py::error_already_set& error) {
        if (error.matches(PyExc_UnicodeEncodeError)) {
            raise_for_unencodable_file_name(fields, error);
        }
        throw;
    }
}

// `with requests.Session() as session: response = session.post(...)`: the
// session is closed as soon as the reply has arrived, before it is read.
py::object post(const py::dict& globals, const py::str& url, const py::object& fields,
                const NetworkSettings& settings, ExchangeReport& report)
{
    py::object encoder = make_encoder(globals, fields);
    py::dict headers;
    headers["Content-Type"] = encoder.attr("content_type");
    py::object manager = lookup_global(globals, "requests").attr("Session")();
    auto manager_type = py::reinterpret_borrow<py::object>(py::type::handle_of(manager));
    py::object enter = manager_type.attr("__enter__");
    py::object exit = manager_type.attr("__exit__");
    py::object session = enter(manager);
    const py::object body = report.upload_body(encoder);
    py::object response;
    try {
        response = session.attr("post")(url, py::arg("data") = body, py::arg("headers") = headers,
                                        py::arg("verify") = settings.verify, **settings.timeout);
    } catch (py::error_already_set& error) {
        if (!is_true(exit_with_error(exit, manager, error))) {
            throw;
        }
        raise_unbound_response();
    }
    exit(manager, py::none(), py::none(), py::none());
    report.replied();
    return response;
}

bool is_dot_or_dot_dot(py::handle name)
{
    return PyUnicode_Check(name.ptr())
        && (PyUnicode_CompareWithASCIIString(name.ptr(), ".") == 0
            || PyUnicode_CompareWithASCIIString(name.ptr(), "..") == 0);
}

// The last component of the image path; for a path ending in "." or ".."
// that is the directory it really names, so results never land in results/
// itself or beside it.
py::object save_dir_name(const py::object& os_path, py::handle image_path)
{
    py::object name = os_path.attr("basename")(image_path);
    if (is_dot_or_dot_dot(name)) {
        name = os_path.attr("basename")(os_path.attr("abspath")(image_path));
    }
    return name;
}

// Another call saving results for an image of the same name may create the
// directory between the test and makedirs(); a directory is all we need,
// whoever made it. Anything else at that path still fails.
void create_save_dir(const py::object& os, const py::object& save_dir)
{
    try {
        os.attr("makedirs")(save_dir);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_FileExistsError) || !is_true(os.attr("path").attr("isdir")(save_dir))) {
            throw;
        }
    }
}

py::object make_save_dir(const py::dict& globals, py::handle image_path)
{
    py::object os = lookup_global(globals, "os");
    py::object save_dir = os.attr("path").attr("join")("results", save_dir_name(os.attr("path"), image_path));
    if (!is_true(os.attr("path").attr("exists")(save_dir))) {
        create_save_dir(os, save_dir);
    }
    return save_dir;
}

void save_body(const py::dict& globals, const py::object& file_response, const py::object& save_dir,
               py::handle filename)
{
    py::object file_path = lookup_global(globals, "os").attr("path").attr("join")(save_dir, filename);
    ResultFile file(save_dir, file_path);
    for (py::handle chunk : file_response.attr("iter_content")(py::arg("chunk_size") = 8192)) {
        if (is_true(chunk)) {
            file.write(chunk);
        }
    }
    file.commit();
}

void download(const py::dict& globals, const py::object& result, const py::object& save_dir, py::handle filename,
              const NetworkSettings& settings, ExchangeReport& report)
{
    if (is_refused_name(save_dir, filename)) {
        report_failed_download(report, globals, filename);
        return;
    }
    py::str file_url = result_file_url(result, filename);
    py::object file_response =
        lookup_global(globals, "requests")
            .attr("get")(file_url, py::arg("stream") = true, py::arg("verify") = settings.verify, **settings.timeout);
    if (!equals(file_response.attr("status_code"), py::int_(200))) {
        report_failed_download(report, globals, filename);
        return;
    }
    save_body(globals, file_response, save_dir, filename);
    report.downloaded();
}

// One after another, as without retries, each file tried again as
// PIXELMEND_RETRIES allows, waiting on this thread.
void download_each_with_retries(const py::dict& globals, const py::object& result, const py::object& save_dir,
                                py::handle filenames, const NetworkSettings& settings, ExchangeReport& report)
{
    const RetryPolicy policy(settings.retries, globals);
    SleepingWait wait;
    const ResultFetch fetch{globals, py::handle(), settings, policy, wait, nullptr};
    for (py::handle filename : filenames) {
        if (is_refused_name(save_dir, filename)) {
            report_failed_download(report, globals, filename);
        } else if (fetch_result_file(fetch, result_file_url(result, filename), save_dir, filename)
                   == FetchOutcome::saved) {
            report.downloaded();
        } else {
            report_failed_download(report, globals, filename);
        }
    }
}

// The first of the paths that names no image: the pair helper only says that
// one of its two does not, so the image path is asked about on its own.
py::handle missing_path(const MainState& state, const py::dict& globals, const Upload& upload)
{
    if (!upload.to_compare) {
        return upload.image_path;
    }
    PyObject* arguments[] = {upload.fields.ptr(), upload.image_path.ptr()};
    const py::object helper = lookup_global(globals, state.names.handle_image_path);
    auto found = steal_or_throw(PyObject_Vectorcall(helper.ptr(), arguments, 2, nullptr));
    return equals(found, py::bool_(false)) ? upload.image_path : upload.to_compare;
}

}

py::object exchange(const MainState& state, const py::dict& globals, const Upload& upload)
{
    const NetworkSettings settings = network_settings();
    const std::unique_ptr<ExchangeReport> report =
        state.make_exchange_report != nullptr ? state.make_exchange_report(state) : std::make_unique<SilentReport>();
    py::object fields = call_helper(state, globals, upload);
    if (equals(fields, py::bool_(false))) {
        report->failed({});
        return concat({state.names.file_does_not_exist, as_text(missing_path(state, globals, upload))});
    }
    const UploadReaders readers(state.upload_file_type, fields);
    py::str url = concat({settings.base_url, py::str(upload.endpoint)});
    py::object response = post(globals, url, fields, settings, *report);
    if (!equals(response.attr("status_code"), py::int_(200))) {
        raise_exception(PyExc_Exception, concat({py::str("HT Error: "), as_text(response.attr("status_code")),
                                                 py::str(", "), as_text(response.attr("text"))}));
    }
    py::object result = response.attr("json")();
    if (!is_true(result["success"])) {
        py::object message = result.attr("get")("message", "No error message provided");
        raise_exception(PyExc_Exception, concat({py::str("API responded with an error: "), as_text(message)}));
    }
    py::object save_dir = make_save_dir(globals, upload.image_path);
    py::object filenames = result["filenames"];
    report->downloads_started(filenames);
    if (settings.downloads > 0) {
        download_in_parallel(globals, result, save_dir, filenames, settings, *report);
    } else if (settings.retries > 0) {
        download_each_with_retries(globals, result, save_dir, filenames, settings, *report);
    } else {
        for (py::handle filename : filenames) {
            download(globals, result, save_dir, filename, settings, *report);
        }
    }
    report->finished();
    return concat({py::str("Files downloaded to "), as_text(save_dir)});
}

}
