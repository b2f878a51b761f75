// The native half of `import quillrom`: a device command run through the
// same client and record layers as quillrom and Quillrom2, with the GIL
// released while the targets work and taken back only for the caller's
// callback and to look for Ctrl+C.
#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "client/gang.h"
#include "client/job.h"
#include "commands.h"
#include "device_args.h"
#include "device_run.h"
#include "quillrom_version.h"
#include "record/run_recorder.h"

namespace py = pybind11;

namespace quillpy {
namespace {

using quillclient::kExitOk;

// Ends a command before any target ran: the exit code the command line
// would give, and its reason.
struct SetupError {
    int code;
    std::string message;
};

// Counts stop requests from any thread (abort(), Ctrl+C) for the run under way.
class Stopper {
public:
    void Attach(quillclient::PlainWaiter *waiter) {
        std::lock_guard<std::mutex> lock(mutex_);
        waiter_ = waiter;
        if (waiter_ != nullptr && pending_) waiter_->Interrupt();
        pending_ = false;
    }
    void Stop() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (waiter_ != nullptr) waiter_->Interrupt();
    }

private:
    std::mutex mutex_;
    quillclient::PlainWaiter *waiter_ = nullptr;
    bool pending_ = false;
};

std::string Text(const char *s, size_t size) { return std::string(s, strnlen(s, size)); }

py::dict OutcomeDict(const quillclient::TargetResult &t) {
    py::dict d;
    const PRROutcome &o = t.outcome;
    d["port"] = t.port.name;
    d["result"] = quillclient::ResultName(t.verdict);
    d["ok"] = t.verdict == quillclient::Verdict::Ok;
    d["exit_code"] = quillclient::ExitCodeOf(t.verdict);
    d["detail"] = t.detail;
    d["status"] = t.outcomeKnown ? o.status : 0;
    d["seconds"] = t.seconds;
    d["log"] = t.log;
    if (t.outcomeKnown && o.checksumCompared) {
        d["device_checksum"] = o.deviceChecksum;
        d["file_checksum"] = o.fileChecksum;
        d["checksum_equal"] = o.checksumEqual != 0;
    }
    if (t.outcomeKnown && (o.signatureRead || o.deviceName[0] != '\0')) {
        char id[8];
        std::snprintf(id, sizeof id, "%02x%02x%02x", o.deviceId[0], o.deviceId[1], o.deviceId[2]);
        d["device_id"] = std::string(id);
        d["device_name"] = Text(o.deviceName, sizeof o.deviceName);
        d["device_version"] = Text(o.deviceVersion, sizeof o.deviceVersion);
    }
    d["aborted"] = t.outcomeKnown && o.aborted != 0;
    return d;
}

// `args` as the device command `command` of quillrom takes them.
py::list Run(const std::string &command, const std::vector<std::string> &args, const py::object &onLine,
             const py::object &onRecord, Stopper &stopper) {
    quillcli::DeviceArgs a;
    quillclient::Command which{};
    if (!quillclient::CommandByName(command, &which)) throw py::value_error("no device command '" + command + "'");
    {
        CLI::App app;
        if (quillclient::NeedsLoadFile(which)) quillcli::AddSourceOptions(&app, a, true);
        quillcli::AddCommonOptions(&app, a);
        std::vector<std::string> argv = {command};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<const char *> pointers;
        for (const std::string &s : argv) pointers.push_back(s.c_str());
        try {
            app.parse(static_cast<int>(pointers.size()), pointers.data());
        } catch (const CLI::ParseError &e) {
            throw SetupError{quillclient::kExitUsage, e.what()};
        }
        a.given = args;
    }
    a.commandName = command;
    std::ostringstream out, err;
    quillcli::CliContext ctx{&out, &err};
    quillcli::DeviceJob job;
    if (const int code = quillcli::BuildJob(which, a, ctx, &job); code != kExitOk) {
        std::string why = err.str();
        if (why.rfind("quillrom: ", 0) == 0) why = why.substr(10);
        while (!why.empty() && why.back() == '\n') why.pop_back();
        throw SetupError{code, why};
    }

    quillclient::PlainWaiter waiter;
    std::string why;
    quillrecord::RunRecorder recorder;
    quillclient::Job work;
    int code = kExitOk;
    {
        py::gil_scoped_release free;
        if (!recorder.Open(job.record, &why)) {
            why = "cannot record the run: " + why;
            code = quillclient::kExitIo;
        } else {
            code = work.Prepare(job.spec, waiter, &why);
            if (code == kExitOk && job.serial) code = recorder.AssignSerials(work, job.serialRequest, waiter, &why);
            if (code == kExitOk) code = recorder.AssignFields(work, job.fields, waiter, &why);
        }
    }
    if (code != kExitOk) throw SetupError{code, why};
    const quillrecord::RunFacts facts = recorder.active() ? quillrecord::FactsOf(work) : quillrecord::RunFacts{};

    // A callback's exception, or Ctrl+C: the gang is stopped, and it is
    // raised once the targets have ended.
    // After Ctrl+C the lines go on to the abort's "Sequence Aborted."; after a
    // callback raised, it is not called again.
    py::object raised;
    bool callbackFailed = false;
    const auto held = [&](const std::function<void()> &call) {
        py::gil_scoped_acquire gil;
        if (callbackFailed) return;
        try {
            call();
        } catch (py::error_already_set &e) {
            if (!raised) raised = py::reinterpret_borrow<py::object>(e.value());
            callbackFailed = true;
            waiter.Interrupt();
        }
    };
    quillclient::GangEvents events;
    quillclient::Gang *running = nullptr;
    const bool gang = job.spec.ports.size() > 1;
    events.line = [&](size_t i, const std::string &line) {
        if (onLine.is_none()) return;
        held([&] { onLine(gang ? py::object(py::str(job.spec.ports[i].name)) : py::object(py::none()), line); });
    };
    events.record = [&](size_t i, const ProgressRecord &r) {
        if (onRecord.is_none()) return;
        const std::string text(r.text, strnlen(r.text, sizeof r.text));
        const uint32_t percent = running->reports()[i].percent;
        held([&] { onRecord(job.spec.ports[i].name, text, percent); });
    };
    events.tick = [&] {
        py::gil_scoped_acquire gil;
        if (!raised && PyErr_CheckSignals() != 0) {
            raised = py::reinterpret_borrow<py::object>(py::error_already_set().value());
            waiter.Interrupt();
        }
    };
    bool ran = false;
    {
        py::gil_scoped_release free;
        stopper.Attach(&waiter);
        quillclient::Gang g(waiter, std::move(events));
        running = &g;
        ran = g.Run(work.request(), work.targets(), 100, waiter.Interrupts(), &why);
        stopper.Attach(nullptr);
        if (ran) {
            if (!g.settled()) work.Abandon();
            const std::vector<quillclient::TargetResult> ends = g.results();
            std::vector<std::string> lost;
            recorder.Record(facts, ends, &lost);
            py::gil_scoped_acquire gil;
            py::list results;
            for (size_t i = 0; i < ends.size(); ++i) {
                py::dict d = OutcomeDict(ends[i]);
                d["serial"] = i < recorder.serials().size() ? py::int_(recorder.serials()[i]) : py::object(py::none());
                py::dict fields;
                if (i < recorder.fields().size())
                    for (const quillrecord::ClaimedField &f : recorder.fields()[i]) fields[py::str(f.name)] = f.value;
                d["fields"] = fields;
                d["recorded"] = lost[i].empty();
                results.append(d);
            }
            if (raised) PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(raised.ptr())), raised.ptr());
            if (raised) throw py::error_already_set();
            return results;
        }
    }
    throw SetupError{quillclient::kExitFailed, why};
}

py::dict Load(const std::vector<std::string> &texts, py::object fill) {
    std::vector<quillclient::LoadSource> sources;
    int fillByte = -1;
    std::string why;
    const std::string fillText = fill.is_none() ? "" : py::str(fill).cast<std::string>();
    if (!quillcli::ParseSources(texts, fillText, &sources, &fillByte, &why)) throw SetupError{quillclient::kExitUsage, why};
    quillclient::PlainWaiter waiter;
    quillclient::FileStatus status;
    quillclient::LoadOptions options;
    options.fill = fillByte;
    LoadFileHandle *h = nullptr;
    {
        py::gil_scoped_release free;
        h = quillclient::LoadImage(sources, waiter, &status, options);
    }
    if (h == nullptr) throw SetupError{quillclient::kExitIo, quillclient::DescribeLoadStatus(status)};
    py::dict d;
    d["start"] = h->lowestAddress;
    d["end"] = h->highestAddress;
    d["checksum"] = h->imageChecksum;
    d["data"] = py::bytes(reinterpret_cast<const char *>(h->imageBuffer + h->lowestAddress),
                          h->highestAddress >= h->lowestAddress ? h->highestAddress - h->lowestAddress + 1 : 0);
    PRRHexClose(h);
    return d;
}

py::tuple Cli(const std::vector<std::string> &args) {
    std::vector<std::string> argv = {"quillrom"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<const char *> pointers;
    for (const std::string &s : argv) pointers.push_back(s.c_str());
    std::ostringstream out, err;
    std::istringstream in;
    int code = 0;
    {
        py::gil_scoped_release free;
        code = quillcli::RunCli(static_cast<int>(pointers.size()), pointers.data(), in, out, err);
    }
    return py::make_tuple(code, out.str(), err.str());
}

}  // namespace
}  // namespace quillpy

PYBIND11_MODULE(_quillrom, m) {
    m.doc() = "quillrom's native layer; use the quillrom package";
    m.attr("__version__") = QUILLROM_VERSION;
    static py::exception<quillpy::SetupError> setupError(m, "SetupError");
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const quillpy::SetupError &e) {
            // args: (exit code, reason); the package turns it into its own errors.
            PyErr_SetObject(setupError.ptr(), py::make_tuple(e.code, e.message).ptr());
        }
    });
    py::class_<quillpy::Stopper>(m, "Stopper").def(py::init<>()).def("stop", &quillpy::Stopper::Stop);
    m.def("run", &quillpy::Run, py::arg("command"), py::arg("args"), py::arg("on_line"), py::arg("on_record"),
          py::arg("stopper"));
    m.def("load", &quillpy::Load, py::arg("sources"), py::arg("fill"));
    m.def("cli", &quillpy::Cli, py::arg("args"));
}
